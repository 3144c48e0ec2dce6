#include "core/delivery/LineDelivery.h"

#include "chat/ChatDatagram.h"
#include "chat/ChatMessage.h"
#include "chat/ChatSender.h"

#include <array>
#include <chrono>
#include <random>
#include <utility>

namespace kestrane {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t RandomNumber() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

/// Whether a LINE of `line` with one of this run's ids fits in a datagram.
bool FitsInNotice(const ChatSender& sender, const std::string& line, bool toEverybody) {
    const std::string longest =
        DeliveryNotice::Line(std::string(LineReceipts::kIdLength, '0'), toEverybody, line)
            .Compose();
    return longest.size() <= static_cast<std::size_t>(sender.LongestText());
}

} // namespace

LineDelivery::LineDelivery(ChatSender& chatSender, Hooks deliveryHooks)
    : sender(chatSender), hooks(std::move(deliveryHooks)), presence(RandomNumber()),
      probeAnswers(HelloAnswerBudget::kProbeAnswerLimits),
      sends(HelloAnswerBudget::kDeliverySendLimits) {
    timer.setSingleShot(true);
    timer.callOnTimeout([this] { Run(); });
}

void LineDelivery::Started() {
    started = true;
    Send({}, DeliveryNotice::Present(announceSecure));
    presence.Started(Clock::now());
    Run();
}

void LineDelivery::Heard(const std::string& name, const std::string& address) {
    const auto now = Clock::now();
    if (presence.HeardFrom(name, address, false, now) == PeerPresence::Heard::CameBack) {
        hooks.away(name, false);
    }
    receipts.HostHeard(name, address, now);
    Run();
}

void LineDelivery::HelloHeard() {
    if (started) {
        presence.HelloHeard(Clock::now());
        Run();
    }
}

void LineDelivery::Left(const std::string& name) {
    presence.Left(name);
}

void LineDelivery::PlainLineShown(const std::string& senderName, std::string_view line) {
    shown.NotePlainLine(senderName, line, Clock::now());
}

void LineDelivery::OnNotice(const ChatMessage& message, const std::string& address) {
    const std::optional<DeliveryNotice> notice = DeliveryNotice::Parse(message.GetText());
    if (!notice) {
        return;
    }
    const std::string name = message.sender;
    const auto now = Clock::now();
    if (presence.HeardFrom(name, address, true, now) == PeerPresence::Heard::CameBack) {
        hooks.away(name, false);
    }
    receipts.HostHeard(name, address, now);
    switch (notice->verb) {
    case DeliveryNotice::Verb::Present:
        if (notice->secure && announceSecure && hooks.announced) {
            hooks.announced(name, address);
        }
        break;
    case DeliveryNotice::Verb::Probe:
        if (probeAnswers.Admit(address)) {
            Send(address, DeliveryNotice::Present(announceSecure));
        }
        break;
    case DeliveryNotice::Verb::Line:
    case DeliveryNotice::Verb::All:
        switch (shown.Take(name, *notice, now)) {
        case ShownLines::Verdict::Show: {
            // Shown exactly as the plain datagram it stands for would be.
            std::array<char, CHAT_MAX_DATAGRAM> datagram{};
            const int count = ComposeText(datagram, name, notice->line);
            if (count < 0) {
                break;
            }
            ChatMessage shownLine(datagram.data(), count);
            shownLine.toThisHost = !notice->toEverybody;
            hooks.show(shownLine, address);
            Acknowledge(address, notice->id);
            break;
        }
        case ShownLines::Verdict::AckOnly:
            Acknowledge(address, notice->id);
            break;
        case ShownLines::Verdict::Wait:
            break;
        }
        break;
    case DeliveryNotice::Verb::Ack:
        if (const std::optional<LineKey> key = receipts.OnAck(name, address, notice->id, now)) {
            Report(*key);
        }
        break;
    case DeliveryNotice::Verb::Bye:
    case DeliveryNotice::Verb::File:
        break; // only inside secure datagrams: Parse never gives them
    }
    Run();
}

bool LineDelivery::SpeaksDelivery(const std::string& name) const {
    return presence.SpeaksDelivery(name);
}

bool LineDelivery::IsAway(const std::string& name) const {
    return presence.IsAway(name);
}

std::optional<LineDelivery::LineKey> LineDelivery::SendToOne(const LineReceipts::Host& host,
                                                             const std::string& line, bool keep) {
    if (!FitsInNotice(sender, line, false)) {
        return std::nullopt;
    }
    const LineKey key = receipts.ToOne(host, line, Clock::now(), keep);
    Run();
    return key;
}

std::optional<LineDelivery::LineKey> LineDelivery::AfterBroadcast(const std::string& line) {
    std::vector<LineReceipts::Host> expected;
    for (PeerPresence::Peer& peer : presence.PresentPeers()) {
        expected.push_back({std::move(peer.name), std::move(peer.address)});
    }
    // Retransmissions to the hosts that missed the broadcast must fit as well.
    if (!FitsInNotice(sender, line, true)) {
        return std::nullopt;
    }
    const bool anyExpected = !expected.empty();
    const LineKey key = receipts.ToEverybody(std::move(expected), line, Clock::now());
    if (anyExpected) {
        Send({}, DeliveryNotice::All(receipts.IdOf(key), line));
    }
    Run();
    return key;
}

bool LineDelivery::Retry(LineKey key) {
    if (!receipts.Retry(key, Clock::now())) {
        return false;
    }
    Report(key);
    Run();
    return true;
}

LineDelivery::LineKey LineDelivery::Restore(const LineReceipts::Host& host, const std::string& id,
                                            const std::string& line) {
    const LineKey key = receipts.Restore(host, id, line, Clock::now());
    Run();
    return key;
}

std::string LineDelivery::IdOf(LineKey key) const {
    return receipts.IdOf(key);
}

std::optional<LineDelivery::Status> LineDelivery::StatusOf(LineKey key) const {
    return receipts.StatusOf(key);
}

void LineDelivery::Send(const std::string& address, const DeliveryNotice& notice) {
    sender.SendDeliveryNotice(address, notice.Compose());
}

void LineDelivery::Acknowledge(const std::string& address, const std::string& id) {
    if (!address.empty()) {
        Send(address, DeliveryNotice::Ack(id));
    }
}

void LineDelivery::Report(LineKey key) {
    if (const std::optional<Status> status = receipts.StatusOf(key)) {
        hooks.changed(key, *status);
    }
}

void LineDelivery::Run() {
    const auto now = Clock::now();
    LineReceipts::Due due = receipts.Poll(now, sends);
    for (const LineReceipts::Datagram& datagram : due.datagrams) {
        Send(datagram.address, datagram.notice);
    }
    for (const LineKey key : due.changed) {
        Report(key);
    }
    if (started) {
        const PeerPresence::Due presenceDue = presence.Poll(now, sends);
        if (presenceDue.broadcastPresent) {
            Send({}, DeliveryNotice::Present(announceSecure));
            if (hooks.heartbeat) {
                hooks.heartbeat();
            }
        }
        for (const PeerPresence::Peer& peer : presenceDue.probes) {
            Send(peer.address, DeliveryNotice::Probe());
        }
        for (const std::string& name : presenceDue.wentAway) {
            hooks.away(name, true);
        }
    }
    std::optional<Clock::time_point> next = receipts.NextDue();
    if (const std::optional<Clock::time_point> presenceNext = presence.NextDue();
        started && presenceNext && (!next || *presenceNext < *next)) {
        next = presenceNext;
    }
    if (!next) {
        timer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    timer.start(std::max(wait, std::chrono::milliseconds(0)));
}

} // namespace kestrane
