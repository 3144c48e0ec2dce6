#include "ui/MessageQueue.h"

namespace kestrane {

void MessageQueue::Append(const HistoryEntry& entry) {
    entries.push_back(entry);
}

} // namespace kestrane
