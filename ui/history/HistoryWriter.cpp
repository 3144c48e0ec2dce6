#include "ui/history/HistoryWriter.h"

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

// Runs a statement with its values bound in order; the error, if any.
std::optional<QSqlError> Run(const QSqlDatabase& database, const QString& sql,
                             const QVariantList& values = {}, QVariant* first = nullptr) {
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        return query.lastError();
    }
    for (const auto& value : values) {
        query.addBindValue(value);
    }
    if (!query.exec()) {
        return query.lastError();
    }
    if (first != nullptr) {
        *first = query.next() ? query.value(0) : QVariant();
    }
    return std::nullopt;
}

// Ends the transaction: committed without an error, rolled back with one.
std::optional<QSqlError> Finish(const QSqlDatabase& database, std::optional<QSqlError> error) {
    if (!error) {
        error = Run(database, QStringLiteral("COMMIT"));
    }
    if (error) {
        Run(database, QStringLiteral("ROLLBACK"));
    }
    return error;
}

// A null QString binds as NULL; the text columns hold '' instead.
QVariant Text(const QString& text) {
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

HistoryRecord ReadRecord(const QSqlQuery& query) {
    HistoryRecord record;
    record.id = query.value(0).toLongLong();
    record.atMs = query.value(1).toLongLong();
    record.kind = static_cast<HistoryRecord::Kind>(query.value(2).toInt());
    record.outgoing = query.value(3).toBool();
    record.toEverybody = query.value(4).toBool();
    record.peer = query.value(5).toString();
    record.address = query.value(6).toString();
    record.text = query.value(7).toString();
    record.delivery = static_cast<HistoryRecord::Delivery>(query.value(8).toInt());
    record.detail = query.value(9).toString();
    record.unread = query.value(10).toBool();
    record.inOutbox = query.value(11).toBool();
    record.receiptId = query.value(12).toString();
    return record;
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
    // A damaged file is replaced and an unusable one left for memory; the
    // batch then goes into what replaced it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto error = Apply(batch);
        if (!error && !batch.empty()) {
            // Written once trimmed too, so that a flush sees the new limits kept.
            const auto last = batch.back().sequence;
            batch.clear();
            error = trimDue ? Trim() : std::nullopt;
            queue.Written(last);
            hooks.written();
        } else if (!error && trimDue) {
            error = Trim();
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
    }
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

std::optional<QSqlError> HistoryWriter::Apply(const std::vector<HistoryChange>& batch) {
    if (batch.empty()) {
        return std::nullopt;
    }
    const QSqlDatabase connection = database.Connection();
    if (auto error = Run(connection, QStringLiteral("BEGIN IMMEDIATE"))) {
        return error;
    }
    QSqlQuery insert(connection);
    insert.prepare(QStringLiteral(
        "INSERT INTO history (id, at_ms, kind, outgoing, to_everybody, peer, address, text, "
        "delivery, detail, unread, in_outbox, receipt_id) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)"));
    std::optional<QSqlError> error;
    for (auto change = batch.begin(); !error && change != batch.end(); ++change) {
        const HistoryRecord& record = change->record;
        switch (change->type) {
        case HistoryChange::Type::Append:
            for (int column = 0;
                 const QVariant& value :
                 {QVariant::fromValue(static_cast<qlonglong>(Renumber(record.id))),
                  QVariant::fromValue(static_cast<qlonglong>(record.atMs)),
                  QVariant(static_cast<int>(record.kind)), QVariant(record.outgoing),
                  QVariant(record.toEverybody), Text(record.peer), Text(record.address),
                  Text(record.text), QVariant(static_cast<int>(record.delivery)),
                  Text(record.detail), QVariant(record.unread), QVariant(record.inOutbox),
                  Text(record.receiptId)}) {
                insert.bindValue(column++, value);
            }
            if (!insert.exec()) {
                error = insert.lastError();
            }
            break;
        case HistoryChange::Type::Delivery:
            error = Run(connection,
                        QStringLiteral("UPDATE history SET delivery=?, in_outbox=? WHERE id=?"),
                        {static_cast<int>(record.delivery), record.inOutbox,
                         static_cast<qlonglong>(MapId(record.id))});
            break;
        case HistoryChange::Type::Detail:
            error = Run(connection, QStringLiteral("UPDATE history SET detail=? WHERE id=?"),
                        {Text(record.detail), static_cast<qlonglong>(MapId(record.id))});
            break;
        case HistoryChange::Type::Read:
            error = Run(connection, QStringLiteral("UPDATE history SET unread=0 WHERE id=?"),
                        {static_cast<qlonglong>(MapId(record.id))});
            break;
        case HistoryChange::Type::Clear:
            error = Run(connection,
                        QStringLiteral("DELETE FROM history WHERE NOT unread AND NOT in_outbox"));
            break;
        case HistoryChange::Type::Limits:
            limits = change->limits;
            trimDue = true;
            break;
        }
    }
    return Finish(connection, error);
}

// Old records go first by age, then while the file holds more than its limit;
// unread and outbox records always stay. The freed pages are then given back.
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
    if (!error) {
        error = TrimToSize(connection);
    }
    if (auto failed = Finish(connection, error)) {
        return failed;
    }
    trimDue = false;
    return Run(connection, QStringLiteral("PRAGMA incremental_vacuum"));
}

std::optional<QSqlError> HistoryWriter::TrimToSize(const QSqlDatabase& connection) {
    for (int round = 0; round < kMostTrimRounds; ++round) {
        QVariant used;
        QVariant rows;
        auto error =
            Run(connection,
                QStringLiteral("SELECT (p.page_count - f.freelist_count) * s.page_size FROM "
                               "pragma_page_count p, pragma_freelist_count f, "
                               "pragma_page_size s"),
                {}, &used);
        if (error || used.toLongLong() <= limits.mostBytes) {
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
        const auto excess = used.toLongLong() - limits.mostBytes;
        const auto chunk = rows.toLongLong() * excess / used.toLongLong() + 1;
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
    query.exec(QStringLiteral(
        "SELECT id, at_ms, kind, outgoing, to_everybody, peer, address, text, delivery, detail, "
        "unread, in_outbox, receipt_id FROM history WHERE unread OR in_outbox ORDER BY id"));
    while (query.next()) {
        const HistoryRecord record = ReadRecord(query);
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
