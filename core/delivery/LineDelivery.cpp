#include "core/delivery/LineDelivery.h"

#include "chat/ChatDatagram.h"
#include "chat/ChatMessage.h"
#include "chat/ChatSender.h"
#include "chat/SecureDatagram.h"
#include "core/delivery/SecureRoute.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>
#include <random>
#include <utility>

namespace kestrane {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t RandomNumber() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

/// Whether a LINE of `line` with one of this run's ids fits in a datagram:
/// sealed in a transport datagram, or in the clear.
bool FitsInNotice(const ChatSender& sender, const std::string& line, bool toEverybody,
                  bool sealed) {
    const DeliveryNotice longest =
        DeliveryNotice::Line(std::string(LineReceipts::kIdLength, '0'), toEverybody, line);
    return sealed ? longest.ComposeInner().size() <= kSecureMaxPlaintext
                  : longest.Compose().size() <= static_cast<std::size_t>(sender.LongestText());
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
    NoteHeard(name, address, false);
    Run();
}

void LineDelivery::NoteHeard(const std::string& name, const std::string& address,
                             bool speaksDelivery) {
    const auto now = Clock::now();
    if (presence.HeardFrom(name, address, speaksDelivery, now) == PeerPresence::Heard::CameBack) {
        hooks.away(name, false);
    }
    receipts.HostHeard(name, address, now);
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
    if (Keyed(name)) {
        // Anyone can write this name in the clear: an announcement is only a
        // hint to reach the host, and a line is shown for what it is.
        if (notice->verb == DeliveryNotice::Verb::Present && notice->secure && hooks.announced) {
            hooks.announced(name, address);
        } else if (notice->verb == DeliveryNotice::Verb::Line) {
            TakeLine(name, address, *notice, LineTrust::NotAuthenticated, Receipt::Clear);
        }
        return;
    }
    NoteHeard(name, address, true);
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
        TakeLine(name, address, *notice, LineTrust::Plain, Receipt::Clear);
        break;
    case DeliveryNotice::Verb::Ack:
        if (const std::optional<LineKey> key =
                receipts.OnAck(name, address, notice->id, Clock::now())) {
            Report(*key);
        }
        break;
    case DeliveryNotice::Verb::Bye:
    case DeliveryNotice::Verb::File:
        break; // only inside secure datagrams: Parse never gives them
    }
    Run();
}

void LineDelivery::SecureHeard(const std::string& name, const std::string& address) {
    NoteHeard(name, address, true);
    Run();
}

void LineDelivery::OnSecureNotice(const std::string& name, const std::string& address,
                                  std::string_view plaintext, LineTrust trust) {
    const bool speaksForName = trust == LineTrust::Private || trust == LineTrust::Verified;
    if (speaksForName) {
        SecureHeard(name, address);
    }
    const std::optional<DeliveryNotice> notice =
        plaintext.empty() ? std::nullopt : DeliveryNotice::ParseInner(plaintext);
    if (!notice) {
        return; // a keepalive, or what a later version sends
    }
    if (notice->verb == DeliveryNotice::Verb::Line) {
        TakeLine(name, address, *notice, trust, speaksForName ? Receipt::Sealed : Receipt::None);
    } else if (!speaksForName) {
        return;
    } else if (notice->verb == DeliveryNotice::Verb::Probe) {
        SendTo(name, address, DeliveryNotice::Present(announceSecure));
    } else if (notice->verb == DeliveryNotice::Verb::Ack) {
        if (const std::optional<LineKey> key =
                receipts.OnAck(name, address, notice->id, Clock::now())) {
            Report(*key);
        }
    } else if (notice->verb == DeliveryNotice::Verb::Bye) {
        presence.Left(name);
        if (hooks.left) {
            hooks.left(name);
        }
    } else if (notice->verb == DeliveryNotice::Verb::File && hooks.file) {
        hooks.file(name, address, notice->file);
    }
    Run();
}

void LineDelivery::TakeLine(const std::string& name, const std::string& address,
                            const DeliveryNotice& notice, LineTrust trust, Receipt receipt) {
    const auto acknowledgeLine = [&] {
        if (receipt == Receipt::Sealed) {
            SendTo(name, address, DeliveryNotice::Ack(notice.id));
        } else if (receipt == Receipt::Clear && !address.empty()) {
            Send(address, DeliveryNotice::Ack(notice.id));
        }
    };
    if (notice.toEverybody && receipt == Receipt::Sealed && hooks.paired &&
        hooks.paired(name, notice.line, trust)) {
        shown.NotePlainLine(name, notice.line, Clock::now()); // so the notice claims it
    }
    switch (shown.Take(name, notice, Clock::now())) {
    case ShownLines::Verdict::Show: {
        // Shown exactly as the plain datagram it stands for would be.
        std::array<char, CHAT_MAX_DATAGRAM> datagram{};
        const int count = ComposeText(datagram, name, notice.line);
        if (count < 0) {
            break;
        }
        ChatMessage shownLine(datagram.data(), count);
        shownLine.toThisHost = !notice.toEverybody;
        hooks.show(shownLine, address, trust);
        acknowledgeLine();
        break;
    }
    case ShownLines::Verdict::AckOnly:
        acknowledgeLine();
        break;
    case ShownLines::Verdict::Wait:
        break;
    }
}

bool LineDelivery::Keyed(const std::string& name) const {
    return route != nullptr && route->Keyed(name);
}

bool LineDelivery::SpeaksDelivery(const std::string& name) const {
    return presence.SpeaksDelivery(name) || Keyed(name);
}

std::size_t LineDelivery::LongestPrivateLine() {
    const std::size_t overhead =
        DeliveryNotice::Line(std::string(LineReceipts::kIdLength, '0'), false, {})
            .ComposeInner()
            .size();
    return kSecureMaxPlaintext - overhead;
}

bool LineDelivery::IsAway(const std::string& name) const {
    return presence.IsAway(name);
}

std::optional<LineDelivery::LineKey> LineDelivery::SendToOne(const LineReceipts::Host& host,
                                                             const std::string& line, bool keep) {
    const bool keyed = Keyed(host.name);
    if (!FitsInNotice(sender, line, false, keyed)) {
        return std::nullopt;
    }
    // A keyed host's receipts count from its session's address alone.
    LineReceipts::Host to = host;
    if (keyed) {
        to.address = route->SessionAddress(host.name).value_or(host.address);
    }
    const LineKey key = receipts.ToOne(to, line, Clock::now(), keep);
    Run();
    return key;
}

std::optional<LineDelivery::LineKey> LineDelivery::AfterBroadcast(const std::string& line) {
    std::vector<LineReceipts::Host> expected;
    for (PeerPresence::Peer& peer : presence.PresentPeers()) {
        expected.push_back({std::move(peer.name), std::move(peer.address)});
    }
    // Retransmissions to the hosts that missed the broadcast must fit as well.
    if (!FitsInNotice(sender, line, true, false)) {
        return std::nullopt;
    }
    const bool anyExpected = !expected.empty();
    std::vector<LineReceipts::Host> keyed;
    std::ranges::copy_if(expected, std::back_inserter(keyed),
                         [this](const LineReceipts::Host& host) { return Keyed(host.name); });
    const LineKey key = receipts.ToEverybody(std::move(expected), line, Clock::now());
    if (anyExpected) {
        Send({}, DeliveryNotice::All(receipts.IdOf(key), line));
    }
    // Hosts with a known key take the clear line as their sender's only
    // once its sealed copy comes, so that goes at once.
    for (const LineReceipts::Host& host : keyed) {
        SendTo(host.name, host.address, DeliveryNotice::Line(receipts.IdOf(key), true, line));
    }
    Run();
    return key;
}

std::vector<LineReceipts::Host> LineDelivery::PrivateHostsPresent() const {
    std::vector<LineReceipts::Host> keyed;
    for (PeerPresence::Peer& peer : presence.PresentPeers()) {
        if (Keyed(peer.name)) {
            keyed.push_back({std::move(peer.name), std::move(peer.address)});
        }
    }
    return keyed;
}

std::optional<LineDelivery::LineKey> LineDelivery::ToEachKestraneHost(const std::string& line) {
    std::vector<LineReceipts::Host> keyed = PrivateHostsPresent();
    if (keyed.empty() || line.size() > LongestPrivateLine()) {
        return std::nullopt;
    }
    const LineKey key = receipts.ToEverybody(keyed, line, Clock::now());
    for (const LineReceipts::Host& host : keyed) {
        SendTo(host.name, host.address, DeliveryNotice::Line(receipts.IdOf(key), true, line));
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

void LineDelivery::SendTo(const std::string& name, const std::string& address,
                          const DeliveryNotice& notice) {
    if (Keyed(name)) {
        static_cast<void>(route->Seal(name, address, notice.ComposeInner()));
    } else if (!address.empty()) {
        Send(address, notice);
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
        SendTo(datagram.name, datagram.address, datagram.notice);
        if (datagram.unanswered && Keyed(datagram.name)) {
            route->Unanswered(datagram.name);
        }
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
            SendTo(peer.name, peer.address, DeliveryNotice::Probe());
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
