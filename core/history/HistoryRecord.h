#pragma once

#include "core/delivery/LineTrust.h"

#include <QString>
#include <cstdint>

namespace kestrane {

/// One line, or one offer of files, as the history keeps it. A value class.
struct HistoryRecord {
    enum class Kind : int { Line = 0, FileOffer = 1 };
    /// What became of a line sent; None for what came in.
    enum class Delivery : int {
        None = 0,
        Pending = 1,
        Delivered = 2,
        DeliveredLate = 3,
        NotDelivered = 4,
        Partly = 5,     // to everybody: some Kestrane hosts confirmed it, not all
        NoReceipts = 6, // went where no receipt can come from
    };

    std::int64_t id = 0;   // unique and increasing; HistoryStore::Append gives it
    std::int64_t atMs = 0; // when it came or went: milliseconds since the epoch, UTC
    Kind kind = Kind::Line;
    bool outgoing = false;
    bool toEverybody = false; // went, or came, to everybody rather than one host
    QString peer;    // the sender of what came in, the host of what went; empty: everybody
    QString address; // the peer's dotted IPv4 address; empty when unknown
    QString text;    // the line as it came or went, its line end included; an offer's files
    Delivery delivery = Delivery::None;
    QString detail;        // an offer's outcome
    bool unread = false;   // not seen yet (see UnreadLines)
    bool inOutbox = false; // a line not delivered that goes again when its host is heard
    QString receiptId;     // a sent line's receipts id; empty without receipts
    /// Of what came in; Unknown for what went, and for lines kept before lines had it.
    LineTrust trust = LineTrust::Unknown;
};

} // namespace kestrane
