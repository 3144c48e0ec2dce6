#pragma once

#include "core/history/HistoryRecord.h"

class QSqlQuery;

namespace kestrane {

/// The history table's columns in the order RecordFrom reads them, for a
/// SELECT that wants whole records.
inline constexpr const char* kRecordColumns =
    "id, at_ms, kind, outgoing, to_everybody, peer, address, text, delivery, detail, unread, "
    "in_outbox, receipt_id, trust";

/// The record in the current row of `query`, which selected kRecordColumns.
HistoryRecord RecordFrom(const QSqlQuery& query);

} // namespace kestrane
