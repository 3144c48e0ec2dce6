#include "core/unread/MessageQueue.h"

namespace kestrane {

bool MessageQueue::Append(const HistoryEntry& entry) {
    const bool full = Size() >= kMostEntries;
    if (full) {
        const int dropped = current == 0 && Size() > 1 ? 1 : 0;
        if (left) {
            left(entries[static_cast<std::size_t>(dropped)]);
        }
        entries.erase(entries.begin() + dropped);
        if (current > dropped) {
            --current;
        }
    }
    entries.push_back(entry);
    return full;
}

void MessageQueue::Erase(int index) {
    const auto at = entries.begin() + index;
    if (left) {
        left(*at);
    }
    entries.erase(at);
}

} // namespace kestrane
