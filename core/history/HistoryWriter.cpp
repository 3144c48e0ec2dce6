#include "core/history/HistoryWriter.h"

#include "core/history/RecordColumns.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>
#include <algorithm>

namespace kestrane {
namespace {

constexpr std::chrono::hours kTrimInterval{1};
constexpr std::int64_t kMsPerDay = 24 * 60 * 60 * 1000;
// Rounds of deleting the oldest records towards the size limit; each deletes
// about what is too much, so a few suffice.
constexpr int kMostTrimRounds = 8;
// PRAGMA auto_vacuum's value for INCREMENTAL.
constexpr int kIncrementalVacuum = 2;
// Records are trimmed to all but this share of the cap: the rest is room for
// the search index's merges, which write before they free what they read.
constexpr std::int64_t kRoomShare = 8;
// A merge of the whole search index starts once this share of the cap went.
constexpr std::int64_t kMergeShare = 8;
// A step of trimming deletes records that hold up to kMostStepBytes of pages,
// looking at kMostStepRows rows at most. It merges kMergePages pages of the
// index and gives back kMostStepPages at most.
constexpr std::int64_t kMostStepBytes = std::int64_t{1} << 20;
constexpr int kMostStepRows = 4096;
constexpr int kMergePages = 256;
constexpr std::int64_t kMostStepPages = 1024;

std::optional<QSqlError> Run(const QSqlDatabase& database, const QString& sql,
                             const QVariantList& values = {}, QVariant* first = nullptr) {
    return HistoryDatabase::Run(database, sql, values, first);
}

std::optional<QSqlError> Finish(const QSqlDatabase& database, std::optional<QSqlError> error) {
    return HistoryDatabase::Finish(database, std::move(error));
}

// What the pages used may hold under a cap of `mostBytes`.
std::int64_t Target(std::int64_t mostBytes) {
    return mostBytes - mostBytes / kRoomShare;
}

// A record's bytes, which its pages (its row and its entries in the search
// index) are weighed by.
constexpr const char* kRecordBytes =
    "64 + length(CAST(text AS BLOB)) + length(CAST(detail AS BLOB)) + length(CAST(peer AS BLOB)) "
    "+ length(CAST(address AS BLOB)) + length(CAST(receipt_id AS BLOB))";

// What a change writes, as far as the size of a transaction goes.
std::int64_t BytesOf(const HistoryChange& change) {
    const HistoryRecord& record = change.record;
    return 64 + record.text.size() + record.detail.size() + record.peer.size();
}

// A null QString binds as NULL; the text columns hold '' instead.
QVariant Text(const QString& text) {
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

} // namespace

HistoryWriter::HistoryWriter(HistoryQueue& waiting, HistoryDatabase::Names names,
                             HistoryStore::Limits first, Hooks given)
    : queue(waiting), database(std::move(names)), limits(first), hooks(std::move(given)),
      flushTimer(new QTimer(this)), retryTimer(new QTimer(this)), trimTimer(new QTimer(this)) {
    flushTimer->setSingleShot(true);
    retryTimer->setSingleShot(true);
    retryTimer->setInterval(HistoryStore::kRetryInterval);
    trimTimer->setInterval(kTrimInterval);
    connect(flushTimer, &QTimer::timeout, this, [this] { Write(); });
    connect(retryTimer, &QTimer::timeout, this, [this] { Write(); });
    connect(trimTimer, &QTimer::timeout, this, [this] {
        trimDue = true;
        Write();
    });
}

void HistoryWriter::Open() {
    Tell(database.Open());
    hooks.access(database.Access());
    largestId = LargestId();
    queue.RaiseIds(largestId);
    started = true;
    hooks.opened(Restore());
    trimDue = true;
    trimTimer->start();
    sinceWrite.start();
    Write();
}

void HistoryWriter::Wake() {
    if (!started || flushTimer->isActive() || retryTimer->isActive()) {
        return;
    }
    const auto interval = HistoryStore::kFlushInterval.count();
    flushTimer->start(
        static_cast<int>(std::clamp<qint64>(interval - sinceWrite.elapsed(), 0, interval)));
}

void HistoryWriter::Write() {
    if (!started) {
        return; // Open writes what waits
    }
    flushTimer->stop();
    auto batch = queue.Take();
    std::size_t done = 0;
    // A damaged file is replaced and an unusable one left for memory; what
    // was not written goes into what replaced it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::size_t before = done;
        auto error = Apply(batch, done);
        if (!error && trimDue) {
            error = Trim();
        }
        // Written once trimmed too, so that a flush sees the new limits kept.
        if (done > before) {
            queue.Written(batch[done - 1].sequence);
            hooks.written();
        }
        if (!error) {
            Recovered();
            return;
        }
        const auto trouble = HistoryDatabase::Classify(*error);
        if (trouble == HistoryDatabase::Trouble::Unwritable) {
            Tell({{trouble, QStringLiteral("The history file %1 cannot be written at the moment "
                                           "(%2); what is new is kept and written once it can be.")
                                .arg(database.Path(), error->databaseText())}});
            break;
        }
        Tell(database.Reopen(trouble, *error));
        hooks.access(database.Access());
        largestId = LargestId();
        pagesPerByte = 0;
    }
    batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(done));
    queue.PutBack(std::move(batch));
    retryTimer->start();
}

void HistoryWriter::Recovered() {
    retryTimer->stop();
    sinceWrite.restart();
}

void HistoryWriter::Stop() {
    flushTimer->stop();
    retryTimer->stop();
    trimTimer->stop();
    database.Close();
}

// In transactions of at most HistoryStore::kMostTransactionBytes of records,
// each followed by a step of trimming: `done` counts the changes committed.
std::optional<QSqlError> HistoryWriter::Apply(const std::vector<HistoryChange>& batch,
                                              std::size_t& done) {
    while (done < batch.size()) {
        std::size_t end = done;
        std::int64_t bytes = 0;
        bool appended = false;
        while (end < batch.size() && (end == done || bytes < HistoryStore::kMostTransactionBytes)) {
            appended = appended || batch[end].type == HistoryChange::Type::Append;
            bytes += BytesOf(batch[end++]);
        }
        const QSqlDatabase connection = database.Connection();
        auto error = Run(connection, QStringLiteral("BEGIN IMMEDIATE"));
        if (error) {
            return error;
        }
        QSqlQuery insert(connection);
        insert.prepare(QStringLiteral(
            "INSERT INTO history (id, at_ms, kind, outgoing, to_everybody, peer, address, text, "
            "delivery, detail, unread, in_outbox, receipt_id, trust) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
        for (auto change = batch.begin() + static_cast<std::ptrdiff_t>(done);
             !error && change != batch.begin() + static_cast<std::ptrdiff_t>(end); ++change) {
            error = Change(connection, insert, *change);
        }
        if (!error && appended) {
            error = TrimStep(connection, MostBytes());
        }
        if (auto failed = Finish(connection, error)) {
            return failed;
        }
        done = end;
    }
    return std::nullopt;
}

std::optional<QSqlError> HistoryWriter::Change(const QSqlDatabase& connection, QSqlQuery& insert,
                                               const HistoryChange& change) {
    const HistoryRecord& record = change.record;
    switch (change.type) {
    case HistoryChange::Type::Append:
        for (int column = 0;
             const QVariant& value :
             {QVariant::fromValue(static_cast<qlonglong>(Renumber(record.id))),
              QVariant::fromValue(static_cast<qlonglong>(record.atMs)),
              QVariant(static_cast<int>(record.kind)), QVariant(record.outgoing),
              QVariant(record.toEverybody), Text(record.peer), Text(record.address),
              Text(record.text), QVariant(static_cast<int>(record.delivery)), Text(record.detail),
              QVariant(record.unread), QVariant(record.inOutbox), Text(record.receiptId),
              QVariant(static_cast<int>(record.trust))}) {
            insert.bindValue(column++, value);
        }
        return insert.exec() ? std::nullopt : std::optional(insert.lastError());
    case HistoryChange::Type::Delivery:
        return Run(connection,
                   QStringLiteral("UPDATE history SET delivery=?, in_outbox=? WHERE id=?"),
                   {static_cast<int>(record.delivery), record.inOutbox,
                    static_cast<qlonglong>(MapId(record.id))});
    case HistoryChange::Type::Detail:
        return Run(connection, QStringLiteral("UPDATE history SET detail=? WHERE id=?"),
                   {Text(record.detail), static_cast<qlonglong>(MapId(record.id))});
    case HistoryChange::Type::Read:
        return Run(connection, QStringLiteral("UPDATE history SET unread=0 WHERE id=?"),
                   {static_cast<qlonglong>(MapId(record.id))});
    case HistoryChange::Type::Clear:
        trimDue = true; // gives the freed pages back
        return Run(connection,
                   QStringLiteral("DELETE FROM history WHERE NOT unread AND NOT in_outbox"));
    case HistoryChange::Type::Limits:
        limits = change.limits;
        trimDue = true;
        capDue = true;
        return std::nullopt;
    }
    return std::nullopt;
}

// Old records go first by age, then, at opening and when the limits changed,
// the oldest while the records take more than the cap (writing keeps it
// after that); unread and outbox records always stay. The freed pages are then
// given back.
std::optional<QSqlError> HistoryWriter::Trim() {
    const QSqlDatabase connection = database.Connection();
    auto error = Run(connection, QStringLiteral("BEGIN IMMEDIATE"));
    if (error) {
        return error;
    }
    if (limits.keepDays > 0) {
        const auto cut = QDateTime::currentMSecsSinceEpoch() - limits.keepDays * kMsPerDay;
        error = Run(
            connection,
            QStringLiteral("DELETE FROM history WHERE at_ms < ? AND NOT unread AND NOT in_outbox"),
            {static_cast<qlonglong>(cut)});
    }
    if (!error && capDue) {
        error = TrimToSize(connection, Target(MostBytes()));
    }
    if (auto failed = Finish(connection, error)) {
        return failed;
    }
    trimDue = false;
    capDue = false;
    return GiveBackAll(connection);
}

std::optional<QSqlError> HistoryWriter::TrimToSize(const QSqlDatabase& connection,
                                                   std::int64_t target) {
    for (int round = 0; round < kMostTrimRounds; ++round) {
        Pages pages;
        QVariant rows;
        auto error = ReadPages(connection, pages);
        const auto used = pages.UsedBytes();
        if (error || used <= target) {
            return error;
        }
        error =
            Run(connection,
                QStringLiteral("SELECT count(*) FROM history WHERE NOT unread AND NOT in_outbox"),
                {}, &rows);
        if (error || rows.toLongLong() == 0) {
            return error;
        }
        // About the share of the records that the file is over its limit.
        const auto chunk = rows.toLongLong() * (used - target) / used + 1;
        error = Run(connection,
                    QStringLiteral("DELETE FROM history WHERE id IN (SELECT id FROM history WHERE "
                                   "NOT unread AND NOT in_outbox ORDER BY id LIMIT ?)"),
                    {static_cast<qlonglong>(chunk)});
        // The search index keeps what was deleted until its segments merge.
        if (!error) {
            error = Run(
                connection,
                QStringLiteral("INSERT INTO history_search(history_search) VALUES('optimize')"));
        }
        if (error) {
            return error;
        }
    }
    return std::nullopt;
}

// Inside the caller's transaction. While the pages used exceed the target, the
// oldest records whose weight, counted before each, adds up to the excess go
// (within the step's bounds). A record weighs its bytes times the pages used
// per byte of records, as last weighed: its entries in the search index take
// several times its text, more for some texts than for others, so no fixed
// share of its text tells. What the search index held of the records stays
// until a merge takes in its oldest segment: once an eighth of the cap went, a
// merge of all segments starts (a negative count), which later steps go on
// with, a few pages each, freeing what they read as they go; the pages are
// weighed again then. (A negative count at every step would start it afresh
// each time and free nothing until it ends.) Free pages beyond the cap then
// leave the file.
std::optional<QSqlError> HistoryWriter::TrimStep(const QSqlDatabase& connection,
                                                 std::int64_t mostBytes) {
    Pages pages;
    auto error = ReadPages(connection, pages);
    if (error) {
        return error;
    }
    int merge = kMergePages;
    if (const auto excess = pages.UsedBytes() - Target(mostBytes); excess > 0) {
        if (pagesPerByte <= 0 && (error = Weigh(connection))) {
            return error;
        }
        QSqlQuery remove(connection);
        remove.prepare(QStringLiteral("DELETE FROM history WHERE id IN (SELECT id FROM (SELECT "
                                      "id, sum(size) OVER (ORDER BY id ROWS UNBOUNDED PRECEDING) "
                                      "- size AS before FROM (SELECT id, %1 AS size "
                                      "FROM history WHERE NOT unread AND NOT in_outbox ORDER BY "
                                      "id LIMIT ?)) WHERE before < ?)")
                           .arg(QLatin1String(kRecordBytes)));
        remove.addBindValue(kMostStepRows);
        const auto most = std::min(excess, kMostStepBytes);
        remove.addBindValue(static_cast<double>(most) / pagesPerByte);
        if (!remove.exec()) {
            return remove.lastError();
        }
        if (remove.numRowsAffected() > 0) {
            deletedSinceMerge += most;
        }
        if (deletedSinceMerge >= mostBytes / kMergeShare) {
            deletedSinceMerge = 0;
            merge = -kMergePages;
        }
    }
    error =
        Run(connection,
            QStringLiteral("INSERT INTO history_search(history_search, rank) VALUES('merge', ?)"),
            {merge});
    if (!error && merge < 0) {
        error = Weigh(connection);
    }
    if (!error) {
        error = ReadPages(connection, pages);
    }
    if (error) {
        return error;
    }
    const auto beyondCap = pages.count - std::max<std::int64_t>(mostBytes / pages.size, 1);
    return GiveBack(connection, std::min({pages.free, beyondCap, kMostStepPages}));
}

// The pages used per byte of records, for TrimStep. It reads every record, so
// it runs only while the weight is unknown and as a merge of the whole index
// starts, which rewrites far more.
std::optional<QSqlError> HistoryWriter::Weigh(const QSqlDatabase& connection) {
    Pages pages;
    QVariant bytes;
    auto error = ReadPages(connection, pages);
    if (!error) {
        error =
            Run(connection,
                QStringLiteral("SELECT total(%1) FROM history").arg(QLatin1String(kRecordBytes)),
                {}, &bytes);
    }
    if (!error) {
        pagesPerByte = static_cast<double>(pages.UsedBytes()) / std::max(bytes.toDouble(), 1.0);
    }
    return error;
}

// Every free page, in a transaction of its own. A file made while auto_vacuum
// was set after the journal mode (so never set: pages were never given back)
// is rebuilt once instead.
std::optional<QSqlError> HistoryWriter::GiveBackAll(const QSqlDatabase& connection) {
    QVariant vacuum;
    auto error = Run(connection, QStringLiteral("PRAGMA auto_vacuum"), {}, &vacuum);
    if (!error && vacuum.toInt() != kIncrementalVacuum) {
        // Needs room for a copy: on a full disk it is tried again at the next trim.
        if (!Run(connection, QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"))) {
            Run(connection, QStringLiteral("VACUUM"));
        }
        return std::nullopt;
    }
    Pages pages;
    if (!error) {
        error = ReadPages(connection, pages);
    }
    if (error || pages.free == 0) {
        return error;
    }
    error = Run(connection, QStringLiteral("BEGIN IMMEDIATE"));
    return Finish(connection, error ? error : GiveBack(connection, pages.free));
}

// PRAGMA incremental_vacuum frees one page each time it steps, and Qt steps a
// statement without result columns once: so it runs once per page.
std::optional<QSqlError> HistoryWriter::GiveBack(const QSqlDatabase& connection,
                                                 std::int64_t pages) {
    QSqlQuery vacuum(connection);
    if (pages > 0 && !vacuum.prepare(QStringLiteral("PRAGMA incremental_vacuum(1)"))) {
        return vacuum.lastError();
    }
    for (std::int64_t page = 0; page < pages; ++page) {
        if (!vacuum.exec()) {
            return vacuum.lastError();
        }
    }
    return std::nullopt;
}

std::optional<QSqlError> HistoryWriter::ReadPages(const QSqlDatabase& connection, Pages& pages) {
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT p.page_count, f.freelist_count, s.page_size FROM "
                                   "pragma_page_count p, pragma_freelist_count f, "
                                   "pragma_page_size s"))) {
        return query.lastError();
    }
    query.next();
    pages = {query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toLongLong()};
    return std::nullopt;
}

std::int64_t HistoryWriter::MostBytes() const {
    return database.InMemory() ? std::min(limits.mostBytes, HistoryStore::kMostInMemoryBytes)
                               : limits.mostBytes;
}

void HistoryWriter::Tell(const std::vector<HistoryDatabase::Note>& notes) {
    for (const auto& note : notes) {
        if (told.insert(note.trouble).second) {
            hooks.problem(note.text);
        }
    }
}

HistoryStore::Restored HistoryWriter::Restore() const {
    HistoryStore::Restored restored;
    QSqlQuery query(database.Connection());
    query.setForwardOnly(true);
    query.exec(QStringLiteral("SELECT %1 FROM history WHERE unread OR in_outbox ORDER BY id")
                   .arg(QLatin1String(kRecordColumns)));
    while (query.next()) {
        const HistoryRecord record = RecordFrom(query);
        if (record.unread) {
            restored.unread.push_back(record);
        }
        if (record.inOutbox) {
            restored.outbox.push_back(record);
        }
    }
    return restored;
}

std::int64_t HistoryWriter::LargestId() const {
    QVariant largest;
    Run(database.Connection(), QStringLiteral("SELECT max(id) FROM history"), {}, &largest);
    return largest.toLongLong();
}

std::int64_t HistoryWriter::Renumber(std::int64_t id) {
    if (id > largestId) {
        renumbered.erase(id);
        largestId = id;
        return id;
    }
    renumbered[id] = ++largestId;
    return largestId;
}

std::int64_t HistoryWriter::MapId(std::int64_t id) const {
    const auto found = renumbered.find(id);
    return found == renumbered.end() ? id : found->second;
}

} // namespace kestrane
