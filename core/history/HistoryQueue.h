#pragma once

#include "core/history/HistoryChange.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace kestrane {

/// The changes waiting for the history writer, and the ids given to records.
/// Every member is safe to call from any thread; none waits on the disk.
class HistoryQueue {
public:
    /// The next record id: the larger of the last id given + 1 and the time in
    /// microseconds since the epoch.
    std::int64_t NextId();
    /// Ids given from now on are larger than `largestInFile` plus the records
    /// still waiting, so that the writer never has to renumber them.
    void RaiseIds(std::int64_t largestInFile);
    /// Queues `change`; true when nothing waited before (the writer needs waking).
    bool Push(HistoryChange change);
    /// Takes every change waiting, oldest first.
    std::vector<HistoryChange> Take();
    /// Returns a batch that could not be written to the front of the queue;
    /// beyond HistoryStore::kMostWaiting changes the oldest go.
    void PutBack(std::vector<HistoryChange> batch);
    /// Every change up to `sequence` is written.
    void Written(std::uint64_t sequence);
    /// Waits until everything queued before the call is written, or `limit`
    /// passes; true when it is written.
    bool WaitWritten(std::chrono::milliseconds limit);

private:
    void DropOldest(); // needs lock held

    std::mutex lock;
    std::condition_variable writtenChanged;
    std::deque<HistoryChange> waiting; // guarded by lock
    std::uint64_t queued = 0;          // guarded by lock: the last sequence given
    std::uint64_t written = 0;         // guarded by lock: written up to this sequence
    std::int64_t lastId = 0;           // guarded by lock
};

} // namespace kestrane
