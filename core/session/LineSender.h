#pragma once

#include "chat/ChatSender.h"
#include "chat/ScriptedSend.h"
#include "core/delivery/Recipient.h"
#include "core/delivery/SentLines.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrane {

class ChatSession;
class HistoryEntry;

/// The running copy's send path: a line from the message line, a reply, a
/// script's line. A host never heard from is looked up first, off the UI
/// thread; a Kestrane host gets the line with a receipt asked for; the log
/// shows what went and the line is recorded and followed until delivered.
/// What could not be sent is told (a box for the person, the answer for a
/// script) and loses nothing. Part of its session. UI thread only.
class LineSender {
public:
    using ScriptReply = SentLines::ScriptReply;
    /// Called once the line was handed to the network, or refused.
    using Done = std::function<void(SendResult result)>;

    explicit LineSender(ChatSession& session);

    /// Sends `line` (CR LF included) to `recipient`; a script's send answers
    /// through `reply` and leaves the boxes alone.
    void Send(const Recipient& recipient, const QString& line, const ScriptReply& reply = {},
              Done done = {});
    /// Sends a line a script handed over (`kestrane --send`) and calls `reply`
    /// once with what became of it. `to` is a listed host's whole name or
    /// first label (any case, when only one host has it), an address, or a
    /// name to look up; a line to an address nothing was heard from is
    /// reported as not delivered.
    void SendForScript(const ScriptedSend& request, ScriptReply reply);
    /// `reply`, its words followed by how a line to `host` (empty: everybody)
    /// went: sealed to a verified key, sealed, or in the clear.
    ScriptReply WithPrivacy(const std::string& host, const ScriptReply& reply);
    /// Sends a reply line (CR LF appended) to where `entry` came from (or,
    /// without that, where its sender last spoke from). Logs nothing.
    SendResult SendReply(const HistoryEntry& entry, const QString& text);
    /// Sends the line logged at `logLine` again, when it was not delivered.
    void SendAgain(std::uint64_t logLine);

private:
    QString AmbiguousName(const std::string& typed, const std::vector<int>& rows) const;
    static ScriptReply ToUnheardAddress(const std::string& address, const ScriptReply& reply);
    void LookUpAndSend(Recipient recipient, const QString& line, const ScriptReply& reply,
                       Done done);
    void FinishSend(const Recipient& recipient, const QString& line, const ScriptReply& reply,
                    const Done& done);
    /// Sends a line: by broadcast at index 0, else to the host's address; a
    /// line to the own name is only logged. `keep` false leaves it out of the
    /// outbox when it is not delivered.
    SendResult SendText(const Recipient& recipient, const QString& line, bool keep);
    /// Marks the line just logged at `logLine` and follows its receipts.
    void TrackSent(const Recipient& recipient, const QString& line, std::uint64_t logLine,
                   const ScriptReply& reply);
    /// The hosts listed that cannot confirm a line.
    std::size_t HostsWithoutReceipts() const;
    /// Records a line sent now; 0 without history.
    std::int64_t RecordSent(const std::string& host, const std::string& address,
                            const QString& line, std::optional<SentLines::LineKey> key);
    void ReportUnsent(SendResult result, const std::string& host, const ScriptReply& reply);
    /// A line to everybody may go only privately, and no host can take it so.
    void ReportNoPrivateHost(const ScriptReply& reply);

    ChatSession& session;
    /// The line SendText last sent with receipts asked for.
    std::optional<SentLines::LineKey> trackedSend;
};

} // namespace kestrane
