#pragma once

#include "core/history/HistoryRecord.h"

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QObject;

namespace kestrane {

/// The history database, written off the UI thread: every line and file offer,
/// the unread queue and the outbox, in one SQLite file (WAL, mode 0600) in a
/// folder of its own. Calls from the UI thread only queue what they change;
/// a worker thread that the store owns writes it in one transaction at most
/// every kFlushInterval.
///
/// Kept within its cap as it is written: each transaction holds at most
/// kMostTransactionBytes of records and ends with a bounded step of trimming
/// (the oldest records go while the pages the file uses, its records and their
/// search index together, take more than 7/8 of Limits::mostBytes; unread and
/// outbox records stay), of merging the search index, and of giving free pages
/// beyond the cap back. The file stays within the cap plus kCapMargin, unless
/// unread and outbox records alone take more; its write-ahead log within
/// kLogBytes plus the largest transaction (a few MiB). In memory the cap is at
/// most kMostInMemoryBytes.
///
/// Never fatal: a file that cannot be opened, is damaged, locked, read-only,
/// from a later version or on a full disk never stops the caller. A damaged
/// file is moved aside (never deleted) and a fresh one started; a file that
/// cannot be written keeps what waits in memory (at most kMostWaiting changes,
/// the oldest going first) and is tried again every kRetryInterval; with no
/// usable file at all the history lives in an in-memory database for the run.
/// Each kind of trouble is told once through Hooks::problem.
///
/// The hooks run on the thread of `context`, never after the store is
/// destroyed, which happens on that thread too.
class HistoryStore {
public:
    static constexpr std::chrono::milliseconds kFlushInterval{250};
    static constexpr std::chrono::seconds kRetryInterval{5};
    static constexpr std::size_t kMostWaiting = 20000;
    static constexpr const char* kFileName = "history.db";
    /// Records written in one transaction, at most (at least one record).
    static constexpr std::int64_t kMostTransactionBytes = std::int64_t{64} << 10;
    /// How far the file may pass its cap: what one transaction writes beyond
    /// what its step gives back (records, their index entries, a merge).
    static constexpr std::int64_t kCapMargin = std::int64_t{512} << 10;
    /// The write-ahead log is checkpointed at this size and cut back to it.
    static constexpr std::int64_t kLogBytes = std::int64_t{1} << 20;
    static constexpr std::int64_t kMostInMemoryBytes = std::int64_t{32} << 20;

    /// How much history is kept: records older than keepDays (0: no limit) and,
    /// beyond mostBytes of file, the oldest records go. Unread and outbox
    /// records are kept whatever their age.
    struct Limits {
        int keepDays = 365;
        std::int64_t mostBytes = std::int64_t{256} << 20;
    };

    /// What the database held when it was opened.
    struct Restored {
        std::vector<HistoryRecord> unread; // oldest first
        std::vector<HistoryRecord> outbox; // oldest first
    };

    struct Hooks {
        /// The database is open (or the store gave up on it and keeps history
        /// in memory): what waited from the last run.
        std::function<void(const Restored& restored)> opened;
        /// A sentence for the person, about trouble with the file.
        std::function<void(const QString& note)> problem;
        /// Records were written (for views that show them).
        std::function<void()> written;
    };

    /// Where a reader opens its own connection (QSQLITE), read only.
    struct ReadAccess {
        QString databaseName;
        QString connectOptions;
    };

    /// `folder` holds the file; it is made (mode 0700) when missing. Nothing
    /// is opened before Open.
    HistoryStore(QString folder, Limits limits, QObject& context, Hooks hooks);
    /// Writes what waits (for at most a few seconds) and stops the worker.
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    /// Opens (or makes) the database on the worker; Hooks::opened follows.
    void Open();
    /// Queues `record`, which gets an id larger than any given before it, and
    /// returns that id.
    std::int64_t Append(HistoryRecord record);
    void SetDelivery(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox);
    void SetDetail(std::int64_t id, const QString& detail);
    /// The person saw the line, or it left the unread queue unseen.
    void SetRead(std::int64_t id);
    /// Deletes every record but those unread or in the outbox.
    void Clear();
    /// Applies new limits, trimming at once (and then every hour).
    void SetLimits(Limits limits);
    /// Writes what waits and returns once it is written, or after `limit`:
    /// true when nothing waits any more.
    bool Flush(std::chrono::milliseconds limit);
    /// Where views read from; valid once Hooks::opened has run.
    ReadAccess Access() const;
    /// The database file's path.
    QString Path() const;

private:
    class Worker;
    std::unique_ptr<Worker> worker;
};

} // namespace kestrane
