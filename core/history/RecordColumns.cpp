#include "core/history/RecordColumns.h"

#include <QSqlQuery>
#include <QVariant>

namespace kestrane {

HistoryRecord RecordFrom(const QSqlQuery& query) {
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
    record.trust = static_cast<LineTrust>(query.value(13).toInt());
    return record;
}

} // namespace kestrane
