#pragma once

#include "core/history/HistoryDatabase.h"
#include "core/history/HistoryQueue.h"

#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <set>
#include <unordered_map>

class QSqlQuery;
class QTimer;

namespace kestrane {

/// Writes the queued changes into the history database at most every
/// HistoryStore::kFlushInterval, in transactions of at most
/// HistoryStore::kMostTransactionBytes of records, keeps the database within
/// its limits as it writes, and recovers from trouble with the file.
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
    /// How many pages the database has, how many are free, and their size.
    struct Pages {
        std::int64_t count = 0;
        std::int64_t free = 0;
        std::int64_t size = 0;
        std::int64_t UsedBytes() const { return (count - free) * size; }
    };

    std::optional<QSqlError> Apply(const std::vector<HistoryChange>& batch, std::size_t& done);
    std::optional<QSqlError> Change(const QSqlDatabase& connection, QSqlQuery& insert,
                                    const HistoryChange& change);
    std::optional<QSqlError> Trim();
    std::optional<QSqlError> TrimToSize(const QSqlDatabase& connection, std::int64_t target);
    std::optional<QSqlError> TrimStep(const QSqlDatabase& connection, std::int64_t mostBytes);
    std::optional<QSqlError> Weigh(const QSqlDatabase& connection);
    static std::optional<QSqlError> GiveBackAll(const QSqlDatabase& connection);
    static std::optional<QSqlError> GiveBack(const QSqlDatabase& connection, std::int64_t pages);
    static std::optional<QSqlError> ReadPages(const QSqlDatabase& connection, Pages& pages);
    /// The cap on the pages the file uses: the limit's, and at most
    /// HistoryStore::kMostInMemoryBytes in memory.
    std::int64_t MostBytes() const;
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
    bool capDue = true; // the next trim brings the records within the cap at once
    std::set<HistoryDatabase::Trouble> told;
    // Ids given before the file was open that were not above its largest id
    // (the clock went back since the last run), and the ids they were written as.
    std::unordered_map<std::int64_t, std::int64_t> renumbered;
    std::int64_t largestId = 0;
    // Bytes of pages held by the records trimmed since a merge of the whole
    // search index started.
    std::int64_t deletedSinceMerge = 0;
    // Bytes of pages used per byte of records, as TrimStep last weighed them;
    // 0 until it does, in each database opened.
    double pagesPerByte = 0;
};

} // namespace kestrane
