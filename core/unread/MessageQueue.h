#pragma once

#include "core/unread/HistoryEntry.h"

#include <cstdint>
#include <deque>
#include <functional>

namespace kestrane {

/// The received lines the user has not dealt with yet, oldest first, at most
/// kMostEntries of them, and the index of the one the message dialog shows.
/// UI thread only.
class MessageQueue {
public:
    MessageQueue() = default;
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;
    virtual ~MessageQueue() = default;

    static constexpr int kMostEntries = 1000;

    /// Copies `entry` to the end. A full queue drops its oldest entry first, or
    /// the next oldest while the oldest is `current`: the message dialog never
    /// loses the entry it shows, and `current` stays on it. True when an entry
    /// was dropped.
    bool Append(const HistoryEntry& entry);
    /// Takes the entry at `index` out: the person dealt with it.
    void Erase(int index);
    int Size() const { return static_cast<int>(entries.size()); }

    // Fields, in the order of the design.
    // A deque: a full queue drops from its front once a line.
    std::deque<HistoryEntry> entries;
    std::int32_t current = -1;
    /// Runs for every entry that leaves the queue, dealt with or dropped.
    std::function<void(const HistoryEntry& entry)> left;
};

} // namespace kestrane
