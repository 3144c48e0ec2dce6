#include "core/unread/MessageQueue.h"

#include <algorithm>

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
    ++unseen;
    return full;
}

void MessageQueue::Erase(int index) {
    const auto at = entries.begin() + index;
    if (left) {
        left(*at);
    }
    entries.erase(at);
}

int MessageQueue::Unseen() const {
    // Skip erases only entries on show, never unseen ones; the bound guards the rest.
    return std::min(unseen, Size());
}

void MessageQueue::MarkShown(int index) {
    unseen = std::min(Unseen(), Size() - 1 - index);
}

} // namespace kestrane
