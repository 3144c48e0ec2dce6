#pragma once

#include "core/delivery/LineTrust.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrane {

/// One received line kept for the user: the sender's name and ">" followed by
/// the text as it arrived (normally ending in CR LF). A value class.
class HistoryEntry {
public:
    HistoryEntry() = default;
    HistoryEntry(const HistoryEntry&) = default;
    HistoryEntry& operator=(const HistoryEntry&) = default;
    // Moves keep taking an entry out of a long queue cheap.
    HistoryEntry(HistoryEntry&&) noexcept = default;
    HistoryEntry& operator=(HistoryEntry&&) noexcept = default;
    virtual ~HistoryEntry() = default;

    void SetSender(const QString& name) { sender = name; }
    void AppendText(const QString& more) { text += more; }
    QString GetSender() const { return sender; }
    QString GetText() const { return text; }

    // Fields, in the order of the design.
    QString sender;
    QString text = QStringLiteral(">");
    bool flag = false; // carried along by copies; nothing reads it
    /// The sender's name as it came on the wire.
    std::string senderBytes;
    /// The dotted IPv4 address the line came from, where a reply goes; empty
    /// when unknown.
    std::string senderAddress;
    /// The line's record in the history; 0 when it has none.
    std::int64_t historyId = 0;
    /// The person has seen the line (UnreadLines decides).
    bool seen = false;
    /// The line is in this run's log, not one restored from the last run.
    bool inLog = true;
    /// It was sent to this host alone, not to everybody.
    bool toYou = false;
    /// How far the line can be believed to come from its sender.
    LineTrust trust = LineTrust::Plain;
    /// Where this run's log shows it (the number Log returned).
    std::optional<std::uint64_t> logLine;
};

} // namespace kestrane
