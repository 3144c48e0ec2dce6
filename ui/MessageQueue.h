#pragma once

#include "ui/HistoryEntry.h"

#include <cstdint>
#include <vector>

namespace kestrane {

/// The received lines the user has not dealt with yet, oldest first, and the
/// index of the one the message dialog shows. UI thread only.
class MessageQueue {
public:
    MessageQueue() = default;
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;
    virtual ~MessageQueue() = default;

    /// Copies `entry` to the end; `current` stays where it is.
    void Append(const HistoryEntry& entry);
    int Size() const { return static_cast<int>(entries.size()); }

    // Fields, in the order of the design.
    std::vector<HistoryEntry> entries;
    std::int32_t current = -1;
};

} // namespace kestrane
