#pragma once

#include "ui/history/HistoryDatabase.h"
#include "ui/history/HistoryQueue.h"

#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <set>
#include <unordered_map>

class QTimer;

namespace kestrane {

/// Writes the queued changes into the history database in one transaction at
/// most every HistoryStore::kFlushInterval, keeps the database within its
/// limits, and recovers from trouble with the file.
///
/// Lives on the store's worker thread: after construction every member runs
/// there, and so do the hooks. Does not own the queue.
class HistoryWriter : public QObject {
public:
    struct Hooks {
        std::function<void(HistoryStore::Restored restored)> opened;
        std::function<void(const QString& note)> problem;
        std::function<void()> written;
        /// Where readers go now (after opening, or a move to memory).
        std::function<void(const HistoryStore::ReadAccess& access)> access;
    };

    HistoryWriter(HistoryQueue& queue, HistoryDatabase::Names names, HistoryStore::Limits limits,
                  Hooks hooks);

    void Open();
    /// Something was queued: written within kFlushInterval.
    void Wake();
    /// Writes what waits at once, even while waiting to try again.
    void Write();
    /// Stops the timers and closes the database.
    void Stop();

private:
    std::optional<QSqlError> Apply(const std::vector<HistoryChange>& batch);
    std::optional<QSqlError> Trim();
    std::optional<QSqlError> TrimToSize(const QSqlDatabase& database);
    void Recovered();
    void Tell(const std::vector<HistoryDatabase::Note>& notes);
    HistoryStore::Restored Restore() const;
    std::int64_t LargestId() const;
    std::int64_t Renumber(std::int64_t id);
    std::int64_t MapId(std::int64_t id) const;

    HistoryQueue& queue;
    HistoryDatabase database;
    HistoryStore::Limits limits;
    Hooks hooks;
    QTimer* flushTimer;
    QTimer* retryTimer;
    QTimer* trimTimer;
    QElapsedTimer sinceWrite;
    bool started = false;
    bool trimDue = false;
    std::set<HistoryDatabase::Trouble> told;
    // Ids given before the file was open that were not above its largest id
    // (the clock went back since the last run), and the ids they were written as.
    std::unordered_map<std::int64_t, std::int64_t> renumbered;
    std::int64_t largestId = 0;
};

} // namespace kestrane
