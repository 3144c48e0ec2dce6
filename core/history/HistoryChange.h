#pragma once

#include "core/history/HistoryRecord.h"
#include "core/history/HistoryStore.h"

#include <cstdint>

namespace kestrane {

/// One change the UI thread asked of the history, waiting for the writer. A value class.
struct HistoryChange {
    enum class Type { Append, Delivery, Detail, Read, Clear, Limits };

    Type type = Type::Append;
    std::uint64_t sequence = 0; // the order it was asked in, from 1; HistoryQueue gives it
    HistoryRecord record;       // Append: the record; otherwise record.id names the record changed,
                                // with its new delivery, inOutbox or detail
    HistoryStore::Limits limits; // Limits
};

} // namespace kestrane
