#include "core/unread/UnreadLines.h"

#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"

#include <algorithm>
#include <utility>

namespace kestrane {

UnreadLines::UnreadLines(MessageQueue& messageQueue, Hooks readHooks)
    : queue(messageQueue), hooks(std::move(readHooks)) {}

bool UnreadLines::Arrived(HistoryEntry entry, bool looking) {
    entry.inLog = true;
    entry.seen = looking;
    return Queue(std::move(entry));
}

bool UnreadLines::Restored(HistoryEntry entry) {
    entry.inLog = false;
    entry.seen = false;
    return Queue(std::move(entry));
}

bool UnreadLines::Queue(HistoryEntry entry) {
    const bool dropped = queue.Append(std::move(entry));
    Changed();
    return dropped;
}

void UnreadLines::LogSeen() {
    bool any = false;
    for (HistoryEntry& entry : queue.entries) {
        if (entry.inLog && !entry.seen) {
            See(entry);
            any = true;
        }
    }
    if (any) {
        Changed();
    }
}

bool UnreadLines::InThread(const QString& peer, const HistoryEntry& entry) {
    return peer.isEmpty() ? !entry.toYou : entry.sender == peer;
}

void UnreadLines::ThreadSeen(const QString& peer) {
    bool any = false;
    for (HistoryEntry& entry : queue.entries) {
        if (!entry.seen && InThread(peer, entry)) {
            See(entry);
            any = true;
        }
    }
    if (any) {
        Changed();
    }
}

void UnreadLines::Shown(int index) {
    if (index < 0 || index >= queue.Size()) {
        return;
    }
    HistoryEntry& entry = queue.entries[static_cast<std::size_t>(index)];
    if (!entry.seen) {
        See(entry);
        Changed();
    }
}

void UnreadLines::Left(const HistoryEntry& entry) {
    // Skip and Reply take only lines on show; the rest leave a full queue,
    // whose next line tells of the change.
    if (!entry.seen) {
        hooks.read(entry.historyId);
    }
}

void UnreadLines::See(HistoryEntry& entry) {
    entry.seen = true;
    hooks.read(entry.historyId);
}

void UnreadLines::Changed() const {
    if (changed) {
        changed();
    }
}

int UnreadLines::Count() const {
    return static_cast<int>(std::ranges::count_if(
        queue.entries, [](const HistoryEntry& entry) { return !entry.seen; }));
}

int UnreadLines::CountFrom(const QString& sender) const {
    return static_cast<int>(std::ranges::count_if(queue.entries, [&](const HistoryEntry& entry) {
        return !entry.seen && entry.sender == sender;
    }));
}

int UnreadLines::CountInThread(const QString& peer) const {
    return static_cast<int>(std::ranges::count_if(queue.entries, [&](const HistoryEntry& entry) {
        return !entry.seen && InThread(peer, entry);
    }));
}

QString UnreadLines::NewestSender() const {
    const int newest = Newest();
    return newest < 0 ? QString() : queue.entries[static_cast<std::size_t>(newest)].sender;
}

int UnreadLines::Newest() const {
    for (int index = queue.Size() - 1; index >= 0; --index) {
        if (!queue.entries[static_cast<std::size_t>(index)].seen) {
            return index;
        }
    }
    return -1;
}

} // namespace kestrane
