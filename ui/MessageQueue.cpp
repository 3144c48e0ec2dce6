#include "ui/MessageQueue.h"

namespace kestrane {

bool MessageQueue::Append(const HistoryEntry& entry) {
    const bool full = Size() >= kMostEntries;
    if (full) {
        const int dropped = current == 0 && Size() > 1 ? 1 : 0;
        entries.erase(entries.begin() + dropped);
        if (current > dropped) {
            --current;
        }
    }
    entries.push_back(entry);
    return full;
}

} // namespace kestrane
