#include "core/history/HistoryQueue.h"

#include <algorithm>
#include <iterator>

namespace kestrane {

std::int64_t HistoryQueue::NextId() {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::lock_guard guard(lock);
    lastId = std::max<std::int64_t>(lastId + 1, now);
    return lastId;
}

void HistoryQueue::RaiseIds(std::int64_t largestInFile) {
    std::lock_guard guard(lock);
    const auto appends = std::count_if(waiting.begin(), waiting.end(), [](const auto& change) {
        return change.type == HistoryChange::Type::Append;
    });
    lastId = std::max<std::int64_t>(lastId, largestInFile + appends);
}

bool HistoryQueue::Push(HistoryChange change) {
    std::lock_guard guard(lock);
    change.sequence = ++queued;
    waiting.push_back(std::move(change));
    DropOldest();
    return waiting.size() == 1;
}

std::vector<HistoryChange> HistoryQueue::Take() {
    std::lock_guard guard(lock);
    std::vector<HistoryChange> batch(std::make_move_iterator(waiting.begin()),
                                     std::make_move_iterator(waiting.end()));
    waiting.clear();
    return batch;
}

void HistoryQueue::PutBack(std::vector<HistoryChange> batch) {
    std::lock_guard guard(lock);
    waiting.insert(waiting.begin(), std::make_move_iterator(batch.begin()),
                   std::make_move_iterator(batch.end()));
    DropOldest();
}

void HistoryQueue::DropOldest() {
    while (waiting.size() > HistoryStore::kMostWaiting) {
        waiting.pop_front();
    }
}

void HistoryQueue::Written(std::uint64_t sequence) {
    {
        std::lock_guard guard(lock);
        written = std::max(written, sequence);
    }
    writtenChanged.notify_all();
}

bool HistoryQueue::WaitWritten(std::chrono::milliseconds limit) {
    std::unique_lock guard(lock);
    const auto target = queued;
    return writtenChanged.wait_for(guard, limit, [&] { return written >= target; });
}

} // namespace kestrane
