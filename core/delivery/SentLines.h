#pragma once

#include "chat/LineReceipts.h"
#include "chat/ScriptedSend.h"
#include "core/delivery/LineLook.h"
#include "core/history/HistoryRecord.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace kestrane {

/// What the person sees of the lines they sent: each logged line's mark, in
/// words in its tooltip, a note in the log when one was not delivered, and the
/// answer to a script that sent it. Keeps the newest kMostLines lines; a line
/// forgotten here keeps the last mark it got. UI thread only.
class SentLines {
public:
    using LineKey = LineReceipts::LineKey;
    using ScriptReply = std::function<void(ScriptedSend::Outcome, const QString& message)>;

    static constexpr std::size_t kMostLines = 2000;

    /// Where a tracked line went.
    struct Sent {
        std::optional<std::uint64_t> logLine; // its "Sent ..." line; none for a reply
        std::string host;                     // empty: everybody
        QString text;                         // the line, without its line end
        std::size_t withoutReceipts = 0;      // to everybody: hosts listed that cannot confirm
        ScriptReply reply;                    // a script waits for the outcome
        std::int64_t historyId = 0;           // its record in the history; 0: none
        bool restored = false;                // it waited in the outbox of an earlier run
    };
    /// Keeps a sent line's record in the history up to date.
    using RecordDelivery =
        std::function<void(std::int64_t historyId, HistoryRecord::Delivery, bool inOutbox)>;

    /// `note` writes a line in the log; `isAway` tells whether a host stopped answering.
    /// `mark` sets the mark of a logged line, in words too.
    using Mark = std::function<void(std::uint64_t logLine, LineLook look, const QString& words)>;
    SentLines(Mark mark, std::function<void(const QString&)> note,
              std::function<bool(const std::string&)> isAway);

    /// A line with receipts asked for, and its status now.
    void Track(LineKey key, Sent sent, const LineReceipts::Status& status);
    /// A line that went where no receipt can come from: a host of another
    /// program, or everybody when no Kestrane host is listed.
    void Untracked(const Sent& sent);
    void Changed(LineKey key, const LineReceipts::Status& status);
    void RecordIn(RecordDelivery record) { recordDelivery = std::move(record); }
    /// The tracked line logged at `logLine`.
    std::optional<LineKey> KeyAt(std::uint64_t logLine) const;

private:
    void Show(const Sent& sent, const LineReceipts::Status& status, bool firstFailure);
    void Forget(LineKey key);

    Mark mark;
    std::function<void(const QString&)> note;
    std::function<bool(const std::string&)> isAway;
    RecordDelivery recordDelivery;
    std::unordered_map<LineKey, Sent> lines;
    std::unordered_map<std::uint64_t, LineKey> byLogLine;
    std::deque<LineKey> order; // oldest first
};

} // namespace kestrane
