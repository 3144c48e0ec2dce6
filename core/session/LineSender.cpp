#include "core/session/LineSender.h"

#include "core/NetworkText.h"
#include "core/delivery/EverybodySetting.h"
#include "core/delivery/LineDelivery.h"
#include "core/history/ChatHistory.h"
#include "core/identity/PeerKeys.h"
#include "core/roster/HostRoster.h"
#include "core/session/ChatSession.h"
#include "core/session/SessionView.h"
#include "core/threads/BoundedLookup.h"
#include "core/unread/HistoryEntry.h"
#include "platform/MessageBox.h"
#include "port/HostLookup.h"

#include <QStringList>
#include <utility>
#include <vector>

namespace kestrane {
namespace {

const std::string kBoxCaption = "Kestrane";

} // namespace

LineSender::LineSender(ChatSession& runningSession) : session(runningSession) {}

void LineSender::Send(const Recipient& recipient, const QString& line, const ScriptReply& reply,
                      Done done) {
    if (recipient.index > 0 && recipient.address.empty() && recipient.name != session.OwnName()) {
        LookUpAndSend(recipient, line, reply, std::move(done));
        return;
    }
    FinishSend(recipient, line, reply, done);
}

void LineSender::SendForScript(const ScriptedSend& request, ScriptReply reply) {
    if (session.Ended() || !session.NetworkStarted() || session.Sender() == nullptr) {
        reply(ScriptedSend::Outcome::Refused,
              QStringLiteral(
                  "Kestrane's network is still starting: send the line again in a moment."));
        return;
    }
    const HostRoster& hosts = session.Hosts();
    Recipient recipient{.index = 0, .name = {}, .address = {}};
    bool unheardAddress = false;
    if (!request.toEverybody) {
        recipient.index = hosts.Find(request.to);
        if (recipient.index < 0 && !IsDottedAddress(request.to)) {
            const std::vector<int> rows = hosts.RowsWithFirstLabel(request.to);
            if (rows.size() > 1) {
                reply(ScriptedSend::Outcome::Refused, AmbiguousName(request.to, rows));
                return;
            }
            recipient.index = rows.empty() ? -1 : rows.front();
        }
        if (recipient.index > 0) {
            recipient.name = hosts.NameAt(recipient.index);
            recipient.address = hosts.AddressOf(recipient.name).value_or(std::string());
        } else {
            // Not listed: a name is looked up as the person's own send does; an
            // address is used as it stands.
            recipient.index = 1;
            recipient.name = request.to;
            recipient.address = IsDottedAddress(request.to) ? request.to : std::string();
            unheardAddress = !recipient.address.empty();
        }
    }
    ScriptReply answer = WithPrivacy(recipient.name, reply);
    if (unheardAddress) {
        answer = ToUnheardAddress(recipient.address, answer);
    }
    Send(recipient, QString::fromUtf8(request.text) + QStringLiteral("\r\n"), answer);
}

LineSender::ScriptReply LineSender::WithPrivacy(const std::string& host, const ScriptReply& reply) {
    // Said when the outcome is known: a key verified meanwhile counts.
    const bool sealedToEverybody = host.empty() && EverybodySetting::OnlyKestrane();
    return [this, host, reply, sealedToEverybody](ScriptedSend::Outcome outcome,
                                                  const QString& words) {
        if (outcome == ScriptedSend::Outcome::Refused) {
            reply(outcome, words);
            return;
        }
        const PeerKeys* keys = session.Keys();
        ScriptedSend::Privacy privacy =
            sealedToEverybody ? ScriptedSend::Privacy::Encrypted : ScriptedSend::Privacy::Plain;
        if (!host.empty() && session.Delivery() != nullptr && session.Delivery()->Keyed(host)) {
            const std::optional<KnownKeys::Key> key = keys->Keys().TrustedKey(host);
            privacy = key && key->state == KnownKeys::State::Verified
                          ? ScriptedSend::Privacy::Verified
                          : ScriptedSend::Privacy::Encrypted;
        }
        const QString told =
            outcome == ScriptedSend::Outcome::NotDelivered && keys->Undecided(host)
                ? QStringLiteral("Not delivered: %1 is using a different key than before; "
                                 "compare codes, then accept or block it in Kestrane")
                      .arg(NetworkName(host))
                : words;
        reply(outcome,
              told + QLatin1Char('\t') + QString::fromLatin1(ScriptedSend::PrivacyName(privacy)));
    };
}

QString LineSender::AmbiguousName(const std::string& typed, const std::vector<int>& rows) const {
    QStringList names;
    for (const int row : rows) {
        names << NetworkName(session.Hosts().NameAt(row));
    }
    return QStringLiteral("%1 names %2 hosts (%3): give the whole name.")
        .arg(QString::fromStdString(typed))
        .arg(rows.size())
        .arg(names.join(QStringLiteral(", ")));
}

LineSender::ScriptReply LineSender::ToUnheardAddress(const std::string& address,
                                                     const ScriptReply& reply) {
    // Nothing there ever spoke, so no receipt can come and the line may have
    // gone nowhere: a script must not take that for a line sent.
    return [address, reply](ScriptedSend::Outcome outcome, const QString& words) {
        if (outcome != ScriptedSend::Outcome::NoReceipts) {
            reply(outcome, words);
            return;
        }
        reply(ScriptedSend::Outcome::NotDelivered,
              QStringLiteral("Sent to %1, from which nothing has been heard: whether any "
                             "host got it is not known")
                  .arg(QString::fromStdString(address)));
    };
}

void LineSender::LookUpAndSend(Recipient recipient, const QString& line, const ScriptReply& reply,
                               Done done) {
    BoundedLookup& lookups = session.Lookups();
    if (lookups.Waiting() > 0) {
        const std::string busy = "Kestrane is still looking for the address of a host.";
        if (reply) {
            reply(ScriptedSend::Outcome::Refused,
                  QString::fromStdString(busy + " Send the line again in a moment."));
        } else {
            ShowMessageBox(busy + " The line stays in the message line: send it again in a moment.",
                           kBoxCaption);
        }
        return;
    }
    const std::string name = recipient.name;
    lookups.Start([lookUp = session.AddressLookup(), name] { return lookUp(name); },
                  ChatSession::kLookupLimit,
                  [this, recipient, line, reply,
                   done = std::move(done)](std::optional<std::string> address) mutable {
                      if (session.Ended()) {
                          return;
                      }
                      if (!address) {
                          ReportUnsent(SendResult::Unreachable, recipient.name, reply);
                          return;
                      }
                      recipient.address = *address;
                      FinishSend(recipient, line, reply, done);
                  });
}

void LineSender::FinishSend(const Recipient& recipient, const QString& line,
                            const ScriptReply& reply, const Done& done) {
    if (recipient.index == 0 && EverybodySetting::OnlyKestrane() &&
        (session.Delivery() == nullptr || session.Delivery()->PrivateHostsPresent().empty())) {
        ReportNoPrivateHost(reply);
        if (done) {
            done(SendResult::Unreachable);
        }
        return;
    }
    const SendResult result = SendText(recipient, line, !reply);
    const QString target = recipient.index == 0
                               ? QStringLiteral("BROADCAST message ")
                               : QStringLiteral("to ") + NetworkName(recipient.name);
    if (result == SendResult::Failed) {
        // The typed line stays, so the user can send it again.
        session.View().Log(QStringLiteral("Not sent ") + target + QStringLiteral(": ") + line,
                           SessionView::Stamp::None);
        if (reply) {
            reply(ScriptedSend::Outcome::NotDelivered,
                  QStringLiteral("Not sent: the network refused the datagram"));
        }
    } else if (result != SendResult::Sent) {
        ReportUnsent(result, recipient.name, reply);
    } else {
        const std::uint64_t logLine =
            session.View().Log(QStringLiteral("Sent ") + target + QStringLiteral(": ") + line,
                               SessionView::Stamp::Sent);
        if (done) {
            done(result);
        }
        TrackSent(recipient, line, logLine, reply);
        return;
    }
    if (done) {
        done(result);
    }
}

void LineSender::TrackSent(const Recipient& recipient, const QString& line, std::uint64_t logLine,
                           const ScriptReply& reply) {
    if (recipient.index > 0 && recipient.name == session.OwnName()) {
        if (reply) {
            reply(ScriptedSend::Outcome::Delivered,
                  QStringLiteral("Shown here: that is this computer's own name"));
        }
        return;
    }
    LineDelivery* delivery = session.Delivery();
    const std::string host = recipient.index == 0 ? std::string() : recipient.name;
    const std::optional<LineDelivery::Status> status =
        trackedSend && delivery ? delivery->StatusOf(*trackedSend) : std::nullopt;
    const bool tracked = status && status->expected > 0;
    SentLines::Sent sent{
        .logLine = logLine,
        .host = host,
        .text = line.chopped(2),
        .withoutReceipts =
            recipient.index == 0 && !EverybodySetting::OnlyKestrane() ? HostsWithoutReceipts() : 0,
        .reply = reply,
        .historyId = RecordSent(host, session.Hosts().AddressOf(host).value_or(""), line,
                                tracked ? trackedSend : std::nullopt)};
    if (!tracked) {
        session.Sent().Untracked(sent);
        return;
    }
    session.Sent().Track(*trackedSend, std::move(sent), *status);
}

std::size_t LineSender::HostsWithoutReceipts() const {
    const LineDelivery* delivery = session.Delivery();
    std::size_t count = 0;
    for (const std::string& name : session.Hosts().Names()) {
        count += delivery == nullptr || !delivery->SpeaksDelivery(name) ? 1 : 0;
    }
    return count;
}

void LineSender::ReportUnsent(SendResult result, const std::string& host,
                              const ScriptReply& reply) {
    std::string text;
    switch (result) {
    case SendResult::TooLong: {
        const LineDelivery* delivery = session.Delivery();
        const bool sealed = host.empty() ? EverybodySetting::OnlyKestrane()
                                         : delivery != nullptr && delivery->Keyed(host);
        const int longest = delivery != nullptr && sealed
                                ? static_cast<int>(LineDelivery::LongestPrivateLine())
                            : session.Sender() != nullptr ? session.Sender()->LongestText()
                                                          : 0;
        text = "This line is too long to send: a message holds at most " + std::to_string(longest) +
               " bytes, line end included.";
        break;
    }
    case SendResult::NoConnection:
        text = "The network is not started, so nothing can be sent.";
        break;
    case SendResult::NoName:
        text = reply ? "The network is still starting: send the line again in a moment."
                     : "The network is still starting. The line stays in the message line: "
                       "send it again in a moment.";
        break;
    case SendResult::Unreachable:
        text = NetworkName(host).toStdString() +
               " cannot be reached: it has not been heard from, and the name did not resolve "
               "within a second. The line was not sent.";
        break;
    case SendResult::Sent:
    case SendResult::Failed:
        return;
    }
    if (reply) {
        reply(ScriptedSend::Outcome::Refused, QString::fromStdString(text));
    } else {
        ShowMessageBox(text, kBoxCaption);
    }
}

void LineSender::ReportNoPrivateHost(const ScriptReply& reply) {
    const QString why =
        QStringLiteral("Lines to everybody go only to Kestrane hosts that can receive them "
                       "privately (\"Only Kestrane hosts\"), and none is present.");
    if (reply) {
        reply(ScriptedSend::Outcome::Refused, why + QStringLiteral(" The line was not sent."));
    } else {
        ShowMessageBox((why + QStringLiteral(" The line stays in the message line.")).toStdString(),
                       kBoxCaption);
    }
}

SendResult LineSender::SendText(const Recipient& recipient, const QString& line, bool keep) {
    trackedSend.reset();
    ChatSender* sender = session.Sender();
    if (sender == nullptr) {
        return SendResult::NoConnection;
    }
    LineDelivery* delivery = session.Delivery();
    const std::string bytes = EncodeNetworkText(line).toStdString();
    if (recipient.index == 0 && EverybodySetting::OnlyKestrane()) {
        // Sealed to each Kestrane host present, and never in the clear.
        trackedSend = delivery != nullptr ? delivery->ToEachKestraneHost(bytes) : std::nullopt;
        return trackedSend ? SendResult::Sent : SendResult::TooLong;
    }
    if (recipient.index == 0) {
        const SendResult result = sender->BroadcastText(bytes);
        if (result == SendResult::Sent && delivery != nullptr) {
            trackedSend = delivery->AfterBroadcast(bytes);
        }
        return result;
    }
    if (recipient.name == session.OwnName()) {
        session.View().Log(NetworkName(session.OwnName()) + QStringLiteral(" : ") + line,
                           SessionView::Stamp::None);
        return SendResult::Sent;
    }
    // A Kestrane host gets the line with a receipt asked for, and only so.
    if (delivery != nullptr && delivery->SpeaksDelivery(recipient.name) &&
        IsDottedAddress(recipient.address)) {
        trackedSend = delivery->SendToOne({recipient.name, recipient.address}, bytes, keep);
        // A host with a known key never gets a line in the clear.
        if (!trackedSend && delivery->Keyed(recipient.name)) {
            return SendResult::TooLong;
        }
    }
    const SendResult result =
        trackedSend ? SendResult::Sent : sender->SendText(recipient.address, bytes);
    if (result == SendResult::Sent) {
        session.View().Log(line, SessionView::Stamp::None);
    }
    return result;
}

SendResult LineSender::SendReply(const HistoryEntry& entry, const QString& text) {
    ChatSender* sender = session.Sender();
    if (sender == nullptr) {
        return SendResult::NoConnection;
    }
    std::string address = entry.senderAddress;
    if (address.empty() && !entry.senderBytes.empty()) {
        address = session.Hosts().AddressOf(entry.senderBytes).value_or(std::string());
    }
    if (address.empty()) {
        return SendResult::Unreachable;
    }
    const std::string bytes = EncodeNetworkText(text).toStdString();
    // Shown in the log as any line sent, so the conversation there has both sides.
    const auto logReply = [&] {
        return session.View().Log(
            QStringLiteral("Replied to %1: %2").arg(NetworkName(entry.senderBytes), text),
            SessionView::Stamp::Sent);
    };
    LineDelivery* delivery = session.Delivery();
    if (delivery != nullptr && delivery->SpeaksDelivery(entry.senderBytes) &&
        IsDottedAddress(address)) {
        if (const std::optional<LineDelivery::LineKey> key =
                delivery->SendToOne({entry.senderBytes, address}, bytes)) {
            session.Sent().Track(*key,
                                 {.logLine = logReply(),
                                  .host = entry.senderBytes,
                                  .text = WithoutLineEnd(text),
                                  .withoutReceipts = 0,
                                  .reply = {},
                                  .historyId = RecordSent(entry.senderBytes, address, text, key)},
                                 *delivery->StatusOf(*key));
            return SendResult::Sent;
        }
        if (delivery->Keyed(entry.senderBytes)) {
            return SendResult::TooLong;
        }
    }
    const SendResult result = sender->SendReply(address, bytes);
    if (result == SendResult::Sent) {
        session.Sent().Untracked(
            {.logLine = logReply(),
             .host = entry.senderBytes,
             .text = WithoutLineEnd(text),
             .withoutReceipts = 0,
             .reply = {},
             .historyId = RecordSent(entry.senderBytes, address, text, std::nullopt)});
    }
    return result;
}

void LineSender::SendAgain(std::uint64_t logLine) {
    if (const std::optional<LineDelivery::LineKey> key = session.Sent().KeyAt(logLine);
        key && session.Delivery() != nullptr) {
        session.Delivery()->Retry(*key);
    }
}

std::int64_t LineSender::RecordSent(const std::string& host, const std::string& address,
                                    const QString& line, std::optional<SentLines::LineKey> key) {
    ChatHistory* history = session.History();
    if (history == nullptr) {
        return 0;
    }
    return history->Sent(host, address, line, key ? session.Delivery()->IdOf(*key) : std::string(),
                         key ? HistoryRecord::Delivery::Pending
                             : HistoryRecord::Delivery::NoReceipts);
}

} // namespace kestrane
