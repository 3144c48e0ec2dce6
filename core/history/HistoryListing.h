#pragma once

#include <QDateTime>
#include <QString>
#include <cstdio>
#include <optional>

namespace kestrane {

/// `kestrane --history`: prints what a history file holds from a time on,
/// oldest first, one record a line, for scripts. The file is opened read only
/// beside a copy that may be writing it. Needs a QCoreApplication (for the SQL
/// driver); main thread.
///
/// Each line holds, separated by tabs: the time (ISO 8601, local, with its
/// offset), "in" or "out", the host ("*" for everybody), its address, the
/// state ("unread" or "read" for what came in, followed for a line from a
/// host with a known key by a comma and "verified", "encrypted", "new-key" or
/// "not-authenticated"; "pending", "delivered",
/// "delivered-late", "not-delivered", "partly", "no-receipts" for what went;
/// "files" for an offer, its outcome after a colon), and the text without its
/// line end. Host and text are written as TerminalText, so no
/// tab, line end or control character a peer sent reaches the output as such.
class HistoryListing {
public:
    /// The time WHEN names: an ISO 8601 date (its midnight, local) or date
    /// and time (local unless it gives an offset), or an age before `now`
    /// ("30m", "12h", "7d", "90s"). Nothing for anything else.
    static std::optional<QDateTime> ParseSince(const QString& when, const QDateTime& now);

    /// Prints the records of the history file at `path` kept since `since`
    /// (all with an invalid time) to `out`. Returns 0, or 1 after telling
    /// `err` why the file cannot be read.
    static int Print(const QString& path, const QDateTime& since, std::FILE* out, std::FILE* err);
};

} // namespace kestrane
