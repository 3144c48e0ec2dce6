#include "core/history/ThreadReader.h"

#include "core/history/ReadConnection.h"
#include "core/history/RecordColumns.h"

#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

namespace kestrane {

ThreadReader::ThreadReader(const HistoryStore& historyStore) : store(historyStore) {}

bool ThreadReader::InThread(const QString& peer, const HistoryRecord& record) {
    return peer.isEmpty() ? record.toEverybody : record.peer == peer;
}

std::vector<QString> ThreadReader::Peers(int most) {
    std::vector<QString> peers;
    // Opened afresh for each read: the writer may have started a new file since.
    ReadConnection connection(store.Access(), QStringLiteral("threads"));
    if (!connection.Open()) {
        return peers;
    }
    QSqlQuery query(connection.Database());
    query.setForwardOnly(true);
    // The (peer, id) index answers this without reading the records.
    query.prepare(QStringLiteral("SELECT peer FROM history WHERE peer <> '' GROUP BY peer "
                                 "ORDER BY max(id) DESC LIMIT ?"));
    query.addBindValue(most);
    if (query.exec()) {
        while (query.next()) {
            peers.push_back(query.value(0).toString());
        }
    }
    return peers;
}

std::vector<HistoryRecord> ThreadReader::Thread(const QString& peer, std::int64_t nowMs) {
    std::vector<HistoryRecord> records;
    ReadConnection connection(store.Access(), QStringLiteral("threads"));
    if (!connection.Open()) {
        return records;
    }
    QSqlQuery query(connection.Database());
    query.setForwardOnly(true);
    const QString where =
        peer.isEmpty() ? QStringLiteral("to_everybody") : QStringLiteral("peer = ?");
    query.prepare(QStringLiteral("SELECT %1 FROM history WHERE %2 ORDER BY id DESC LIMIT %3")
                      .arg(QLatin1String(kRecordColumns), where)
                      .arg(kMostLines));
    if (!peer.isEmpty()) {
        query.addBindValue(peer);
    }
    if (!query.exec()) {
        return records;
    }
    const std::int64_t since =
        nowMs - std::chrono::milliseconds(std::chrono::days(kRecentDays)).count();
    while (query.next()) {
        HistoryRecord record = RecordFrom(query);
        if (record.atMs < since && std::ssize(records) >= kLeastLines) {
            break;
        }
        records.push_back(std::move(record));
    }
    std::ranges::reverse(records);
    return records;
}

} // namespace kestrane
