#include "core/delivery/SentLines.h"

#include "core/NetworkText.h"

#include <QStringList>
#include <QTime>
#include <utility>

namespace kestrane {
namespace {

using Status = LineReceipts::Status;
using State = LineReceipts::State;
using Outcome = ScriptedSend::Outcome;

// A sent line as a note quotes it: one line, cut short.
QString Quoted(const QString& text) {
    constexpr qsizetype kLongest = 40;
    const QString line = OneLineText(text);
    return QLatin1Char('"') +
           (line.size() > kLongest ? line.left(kLongest) + QChar(0x2026) : line) + QLatin1Char('"');
}

QString Names(const std::vector<std::string>& names) {
    constexpr std::size_t kNamed = 5;
    QStringList listed;
    for (std::size_t index = 0; index < names.size() && index < kNamed; ++index) {
        listed << NetworkName(names[index]);
    }
    QString text = listed.join(QStringLiteral(", "));
    if (names.size() > kNamed) {
        text += QStringLiteral(" and %1 more").arg(names.size() - kNamed);
    }
    return text;
}

QString Now() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
}

HistoryRecord::Delivery DeliveryOf(const Status& status) {
    using Delivery = HistoryRecord::Delivery;
    switch (status.state) {
    case State::Pending:
        return Delivery::Pending;
    case State::Delivered:
        return status.late ? Delivery::DeliveredLate : Delivery::Delivered;
    case State::NotDelivered:
        break;
    }
    return status.toEverybody ? Delivery::Partly : Delivery::NotDelivered;
}

QString WithoutReceipts(std::size_t hosts) {
    if (hosts == 0) {
        return {};
    }
    return hosts == 1 ? QStringLiteral("; 1 host listed cannot confirm lines")
                      : QStringLiteral("; %1 hosts listed cannot confirm lines").arg(hosts);
}

} // namespace

SentLines::SentLines(Mark markLine, std::function<void(const QString&)> writeNote,
                     std::function<bool(const std::string&)> hostIsAway)
    : mark(std::move(markLine)), note(std::move(writeNote)), isAway(std::move(hostIsAway)) {}

void SentLines::Track(LineKey key, Sent sent, const Status& status) {
    if (lines.size() >= kMostLines) {
        Forget(order.front());
    }
    if (sent.logLine) {
        byLogLine[*sent.logLine] = key;
    }
    order.push_back(key);
    Sent& tracked = lines[key] = std::move(sent);
    Show(tracked, status, false);
    if (status.state != State::Pending) {
        tracked.reply = {};
    }
}

void SentLines::Untracked(const Sent& sent) {
    const QString host = NetworkName(sent.host);
    const QString words =
        sent.host.empty()
            ? QStringLiteral("Sent to everybody; no host listed sends receipts, so whether it "
                             "arrived is not known")
            : QStringLiteral("Sent to %1, which does not send receipts (it runs another chat "
                             "program): whether it arrived is not known")
                  .arg(host);
    if (sent.logLine) {
        mark(*sent.logLine, LineLook::NoReceipts, words);
    }
    if (sent.reply) {
        sent.reply(Outcome::NoReceipts, words);
    }
}

void SentLines::Changed(LineKey key, const Status& status) {
    const auto found = lines.find(key);
    if (found == lines.end()) {
        return;
    }
    // One note per line: a line that fails again from the outbox says nothing more.
    Show(found->second, status, status.state == State::NotDelivered && status.deadlinesPassed == 1);
    if (status.state != State::Pending) {
        found->second.reply = {};
    }
}

std::optional<SentLines::LineKey> SentLines::KeyAt(std::uint64_t logLine) const {
    const auto found = byLogLine.find(logLine);
    if (found == byLogLine.end()) {
        return std::nullopt;
    }
    return found->second;
}

void SentLines::Show(const Sent& sent, const Status& status, bool firstFailure) {
    const QString host = NetworkName(sent.host);
    const bool toEverybody = sent.host.empty();
    LineLook look = LineLook::Pending;
    QString words;
    std::optional<Outcome> outcome;
    switch (status.state) {
    case State::Pending:
        words = toEverybody
                    ? QStringLiteral("Sent to everybody; %1 of the %2 Kestrane hosts "
                                     "listed confirmed it so far")
                              .arg(status.delivered)
                              .arg(status.expected) +
                          WithoutReceipts(sent.withoutReceipts)
                    : QStringLiteral("Waiting for %1 to confirm it got this line").arg(host);
        break;
    case State::Delivered:
        look = LineLook::Delivered;
        words = toEverybody
                    ? (status.expected == 1
                           ? QStringLiteral("Delivered to the one Kestrane host listed")
                           : QStringLiteral("Delivered to all %1 Kestrane hosts listed")
                                 .arg(status.expected)) +
                          WithoutReceipts(sent.withoutReceipts)
                    : QStringLiteral("Delivered %1to %2 at %3")
                          .arg(status.late ? QStringLiteral("late ") : QString(), host, Now());
        outcome = Outcome::Delivered;
        // After its "Not delivered" note (this run's or the last), so that one
        // does not stand as the last word.
        if (sent.restored || status.late) {
            note(QStringLiteral("Delivered late to %1: %2").arg(host, Quoted(sent.text)) +
                 (sent.restored ? QStringLiteral(", which waited in the outbox") : QString()));
        }
        break;
    case State::NotDelivered:
        if (toEverybody) {
            look = LineLook::Partly;
            words = QStringLiteral("Delivered to %1 of the %2 Kestrane hosts listed; not to %3")
                        .arg(status.delivered)
                        .arg(status.expected)
                        .arg(Names(status.missing)) +
                    WithoutReceipts(sent.withoutReceipts);
            if (firstFailure) {
                note(QStringLiteral("A line to everybody was not delivered to %1: %2")
                         .arg(Names(status.missing), Quoted(sent.text)));
            }
        } else {
            look = LineLook::NotDelivered;
            const QString kept =
                status.inOutbox
                    ? QStringLiteral(
                          " It waits in the outbox and goes when %1 is heard from again.")
                          .arg(host)
                    : QString();
            const QString away =
                isAway(sent.host)
                    ? QStringLiteral(" %1 is away: nothing was heard from it for a minute.")
                          .arg(host)
                    : QString();
            words = QStringLiteral("Not delivered: %1 did not confirm it within 10 seconds.")
                        .arg(host) +
                    away + kept;
            if (firstFailure) {
                note((sent.logLine ? QStringLiteral("Not delivered to %1: %2.")
                                   : QStringLiteral("Your reply to %1 was not delivered: %2."))
                         .arg(host, Quoted(sent.text)) +
                     kept +
                     (sent.logLine ? QStringLiteral(" Right-click the line to send it again now.")
                                   : QString()));
            }
        }
        outcome = Outcome::NotDelivered;
        break;
    }
    if (sent.logLine) {
        mark(*sent.logLine, look, words);
    }
    if (sent.historyId != 0 && recordDelivery) {
        // A line to one host waits in the stored outbox from the start, so
        // that it goes again after a restart, however the program ended.
        const bool waiting = status.state == State::Pending && !toEverybody && !sent.reply;
        recordDelivery(sent.historyId, DeliveryOf(status), status.inOutbox || waiting);
    }
    if (outcome && sent.reply) {
        sent.reply(*outcome, words);
    }
}

void SentLines::Forget(LineKey key) {
    const auto found = lines.find(key);
    if (found != lines.end()) {
        if (found->second.logLine) {
            byLogLine.erase(*found->second.logLine);
        }
        lines.erase(found);
    }
    std::erase(order, key);
}

} // namespace kestrane
