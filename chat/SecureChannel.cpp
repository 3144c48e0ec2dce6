#include "chat/SecureChannel.h"

#include "security/Sodium.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace kestrane {
namespace {

constexpr std::string_view kPrologue = "Kestrane DELIVERY/2";

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// X25519 operations of each handshake step (Noise XX): e costs a key
// generation, ee, es and se one agreement each.
constexpr std::uint64_t kWriteInitiationDh = 1;
constexpr std::uint64_t kWriteResponseDh = 3;
constexpr std::uint64_t kReadResponseDh = 2;
constexpr std::uint64_t kConfirmationDh = 1;

} // namespace

SecureChannel::SecureChannel(const KeyPair& identityKey, std::string name,
                             std::function<Clock::time_point()> clock)
    : identity(identityKey), ownName(std::move(name)), now(std::move(clock)),
      initiations(kInitiationLimits, now), repeats(kRepeatLimits, now), starts(kStartLimits, now) {
    // Every copy that speaks DELIVERY/2 also serves and fetches files privately.
    const std::string hello = PeerHello{.name = ownName, .files = true}.Compose();
    ownHello.assign(hello.begin(), hello.end());
}

std::size_t SecureChannel::CountPendings(NoiseRole role, const std::string* address) const {
    return static_cast<std::size_t>(
        std::count_if(pendings.begin(), pendings.end(), [&](const auto& entry) {
            return entry.second.role == role && (!address || entry.second.address == *address);
        }));
}

std::size_t SecureChannel::ResponderPendings() const {
    return CountPendings(NoiseRole::Responder, nullptr);
}

std::size_t SecureChannel::InitiatorPendings() const {
    return CountPendings(NoiseRole::Initiator, nullptr);
}

std::optional<SessionIndex> SecureChannel::NewIndex() const {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::array<std::uint8_t, 4> bytes{};
        if (!FillRandom(bytes)) {
            return std::nullopt;
        }
        const SessionIndex index =
            static_cast<SessionIndex>(bytes[0]) | static_cast<SessionIndex>(bytes[1]) << 8 |
            static_cast<SessionIndex>(bytes[2]) << 16 | static_cast<SessionIndex>(bytes[3]) << 24;
        if (index != 0 && !pendings.contains(index) && !sessions.contains(index)) {
            return index;
        }
    }
    return std::nullopt;
}

SecureChannel::Outgoing SecureChannel::Compose(const std::string& address,
                                               const SecureDatagram& datagram) const {
    return {address, ComposeSecureDatagram(ownName, datagram)};
}

std::optional<SecureChannel::Outgoing> SecureChannel::Initiate(const std::string& address) {
    if (CountPendings(NoiseRole::Initiator, &address) > 0 ||
        InitiatorPendings() >= kMostInitiatorPendings) {
        return std::nullopt;
    }
    const auto current = now();
    const auto index = NewIndex();
    if (!index || !starts.Admit(address, current)) {
        return std::nullopt;
    }
    Pending pending{.role = NoiseRole::Initiator,
                    .address = address,
                    .handshake = NoiseHandshake(NoiseRole::Initiator, identity, Bytes(kPrologue)),
                    .started = current,
                    .nextResend = current + kFirstResend,
                    .interval = kFirstResend};
    const auto message = pending.handshake.WriteMessage({});
    dhOperations += kWriteInitiationDh;
    if (!message) {
        return std::nullopt;
    }
    Outgoing out =
        Compose(address, {.kind = SecureKind::Initiation, .sender = *index, .message = *message});
    pending.lastSent = out.datagram;
    pendings.emplace(*index, std::move(pending));
    return out;
}

SecureChannel::Result SecureChannel::OnDatagram(const std::string& address,
                                                std::span<const std::uint8_t> bytes) {
    Result result;
    const auto datagram = ParseSecureDatagram(bytes);
    if (!datagram) {
        return result;
    }
    switch (datagram->kind) {
    case SecureKind::Initiation:
        OnInitiation(address, *datagram, bytes, result);
        break;
    case SecureKind::Response:
        OnResponse(address, *datagram, result);
        break;
    case SecureKind::Confirmation:
        OnConfirmation(address, *datagram, bytes, result);
        break;
    case SecureKind::Transport:
        OpenTransport(datagram->receiver, datagram->message, result);
        break;
    case SecureKind::Bundle:
        OnBundle(*datagram, result);
        break;
    }
    return result;
}

void SecureChannel::OnInitiation(const std::string& address, const SecureDatagram& datagram,
                                 std::span<const std::uint8_t> bytes, Result& result) {
    const auto current = now();
    for (const auto& [index, pending] : pendings) {
        if (pending.role == NoiseRole::Responder && pending.address == address &&
            std::ranges::equal(pending.initiation, bytes)) {
            if (repeats.Admit(address, current)) {
                result.send.push_back({address, pending.lastSent});
            }
            return;
        }
    }
    // Two initiations crossed: the lower sender index goes on, on both sides. Our own I
    // reflected back (the same index) is dropped.
    for (auto own = pendings.begin(); own != pendings.end(); ++own) {
        if (own->second.role == NoiseRole::Initiator && own->second.address == address) {
            if (own->second.peerIndex != 0 || own->first <= datagram.sender) {
                return;
            }
            pendings.erase(own);
            break;
        }
    }
    if (!initiations.Admit(address, current)) {
        return;
    }
    if (CountPendings(NoiseRole::Responder, &address) >= kMostResponderPendingsPerAddress) {
        EvictOldestPending(NoiseRole::Responder, &address);
    }
    if (ResponderPendings() >= kMostResponderPendings) {
        EvictOldestPending(NoiseRole::Responder, nullptr);
    }
    const auto index = NewIndex();
    NoiseHandshake handshake(NoiseRole::Responder, identity, Bytes(kPrologue));
    if (!index || !handshake.ReadMessage(datagram.message)) {
        return;
    }
    const auto message = handshake.WriteMessage(ownHello);
    dhOperations += kWriteResponseDh;
    if (!message) {
        return;
    }
    Outgoing response = Compose(address, {.kind = SecureKind::Response,
                                          .receiver = datagram.sender,
                                          .sender = *index,
                                          .message = *message});
    if (response.datagram.empty()) {
        return;
    }
    pendings.emplace(*index, Pending{.role = NoiseRole::Responder,
                                     .address = address,
                                     .handshake = std::move(handshake),
                                     .peerIndex = datagram.sender,
                                     .started = current,
                                     .initiation = {bytes.begin(), bytes.end()},
                                     .lastSent = response.datagram});
    result.send.push_back(std::move(response));
}

void SecureChannel::OnResponse(const std::string& address, const SecureDatagram& datagram,
                               Result& result) {
    const auto found = pendings.find(datagram.receiver);
    if (found == pendings.end()) {
        return;
    }
    Pending& pending = found->second;
    if (pending.role != NoiseRole::Initiator || pending.address != address ||
        pending.peerIndex != 0 || pending.attempts >= kMostReadAttempts) {
        return;
    }
    ++pending.attempts;
    NoiseHandshake trial = pending.handshake; // a forged R must not end the genuine handshake
    const auto payload = trial.ReadMessage(datagram.message);
    dhOperations += kReadResponseDh;
    if (!payload) {
        return;
    }
    auto hello = PeerHello::Parse(*payload);
    const auto message = hello ? trial.WriteMessage(ownHello) : std::nullopt;
    dhOperations += hello ? kConfirmationDh : 0;
    const auto current = now();
    auto session = message ? MakeSession(trial, address, datagram.receiver, datagram.sender,
                                         std::move(*hello), current)
                           : std::nullopt;
    Outgoing confirmation;
    if (session) {
        confirmation = Compose(
            address,
            {.kind = SecureKind::Confirmation, .receiver = datagram.sender, .message = *message});
    }
    if (confirmation.datagram.empty()) {
        pendings.erase(found); // authentic but unusable: the handshake ends
        return;
    }
    pending.handshake = std::move(trial);
    pending.peerIndex = datagram.sender;
    pending.lastSent = confirmation.datagram;
    pending.interval = kFirstResend;
    pending.nextResend = current + kFirstResend;
    AddSession(datagram.receiver, std::move(*session));
    result.send.push_back(std::move(confirmation));
}

void SecureChannel::OnConfirmation(const std::string& address, const SecureDatagram& datagram,
                                   std::span<const std::uint8_t> bytes, Result& result) {
    const auto found = pendings.find(datagram.receiver);
    if (found == pendings.end()) {
        // The initiator resends C until it hears a confirmation: answer again, without DH.
        const auto session = sessions.find(datagram.receiver);
        if (session != sessions.end() && session->second.address == address &&
            std::ranges::equal(session->second.confirmation, bytes) &&
            repeats.Admit(address, now())) {
            if (auto out = Confirm(session->first, session->second)) {
                result.send.push_back(std::move(*out));
            }
        }
        return;
    }
    Pending& pending = found->second;
    if (pending.role != NoiseRole::Responder || pending.address != address ||
        pending.attempts >= kMostReadAttempts) {
        return;
    }
    ++pending.attempts;
    NoiseHandshake trial = pending.handshake; // a forged C must not end the genuine handshake
    const auto payload = trial.ReadMessage(datagram.message);
    dhOperations += kConfirmationDh;
    if (!payload) {
        return;
    }
    auto hello = PeerHello::Parse(*payload);
    auto session = hello ? MakeSession(trial, address, datagram.receiver, pending.peerIndex,
                                       std::move(*hello), now())
                         : std::nullopt;
    pendings.erase(found);
    if (!session) {
        return;
    }
    session->confirmed = true;
    session->confirmation.assign(bytes.begin(), bytes.end());
    result.up = session->up;
    const SessionIndex index = datagram.receiver;
    AddSession(index, std::move(*session));
    if (auto out = Confirm(index, sessions.at(index))) {
        result.send.push_back(std::move(*out));
    }
}

void SecureChannel::OpenTransport(SessionIndex index, std::span<const std::uint8_t> message,
                                  Result& result) {
    const auto found = sessions.find(index);
    if (found == sessions.end()) {
        return;
    }
    Session& session = found->second;
    auto plaintext = session.transport.Open(message);
    if (!plaintext) {
        return;
    }
    session.lastHeard = now();
    if (!session.confirmed) {
        session.confirmed = true;
        pendings.erase(found->first); // the C that was resent got through
        result.up = session.up;
    }
    result.opened.push_back({found->first, std::move(*plaintext)});
}

void SecureChannel::OnBundle(const SecureDatagram& datagram, Result& result) {
    std::size_t opens = 0;
    for (const BundleEntry& entry : datagram.entries) {
        const auto found = sessions.find(entry.receiver);
        if (found == sessions.end()) {
            continue; // another host's
        }
        // One session comes up per datagram; another waits for its next entry or T.
        if (result.up && !found->second.confirmed) {
            continue;
        }
        if (opens++ == kMostBundleOpens) {
            break;
        }
        OpenTransport(entry.receiver, entry.message, result);
    }
}

std::optional<SecureChannel::Session>
SecureChannel::MakeSession(const NoiseHandshake& handshake, const std::string& address,
                           SessionIndex index, SessionIndex peerIndex, PeerHello hello,
                           Clock::time_point current) {
    auto transport = NoiseTransport::After(handshake);
    if (!transport || !handshake.RemoteStatic()) {
        return std::nullopt;
    }
    return Session{.address = address,
                   .peerIndex = peerIndex,
                   .transport = std::move(*transport),
                   .up = {.address = address,
                          .peerName = std::move(hello.name),
                          .peerFiles = hello.files,
                          .peerKey = *handshake.RemoteStatic(),
                          .index = index},
                   .created = current,
                   .lastHeard = current,
                   .started = handshake.Role() == NoiseRole::Initiator};
}

std::vector<std::string> SecureChannel::DueForRekey(std::span<const SessionIndex> indices) const {
    std::vector<std::string> due;
    const Clock::time_point current = now();
    for (const SessionIndex index : indices) {
        const auto found = sessions.find(index);
        if (found != sessions.end() && found->second.started &&
            current - found->second.created >= kRekeyAfter) {
            due.push_back(found->second.address);
        }
    }
    return due;
}

void SecureChannel::EvictSession(const std::function<bool(const Session&)>& among,
                                 bool byLastHeard) {
    auto oldest = sessions.end();
    for (auto entry = sessions.begin(); entry != sessions.end(); ++entry) {
        if (!among(entry->second)) {
            continue;
        }
        const auto when = [&](const Session& session) {
            return byLastHeard ? session.lastHeard : session.created;
        };
        if (oldest == sessions.end() || when(entry->second) < when(oldest->second)) {
            oldest = entry;
        }
    }
    if (oldest != sessions.end()) {
        pendings.erase(oldest->first);
        sessions.erase(oldest);
    }
}

void SecureChannel::AddSession(SessionIndex index, Session session) {
    const auto count = [&](const auto& among) {
        return static_cast<std::size_t>(
            std::count_if(sessions.begin(), sessions.end(),
                          [&](const auto& entry) { return among(entry.second); }));
    };
    const auto sameKey = [&](const Session& other) {
        return other.up.peerKey == session.up.peerKey;
    };
    const auto sameAddress = [&](const Session& other) { return other.address == session.address; };
    if (count(sameKey) >= kMostSessionsPerKey) {
        EvictSession(sameKey, false);
    }
    if (count(sameAddress) >= kMostSessionsPerAddress) {
        EvictSession(sameAddress, false);
    }
    if (sessions.size() >= kMostSessions) {
        EvictSession([](const Session&) { return true; }, true);
    }
    sessions.insert_or_assign(index, std::move(session));
}

void SecureChannel::EvictOldestPending(NoiseRole role, const std::string* address) {
    auto oldest = pendings.end();
    for (auto entry = pendings.begin(); entry != pendings.end(); ++entry) {
        if (entry->second.role == role && (!address || entry->second.address == *address) &&
            (oldest == pendings.end() || entry->second.started < oldest->second.started)) {
            oldest = entry;
        }
    }
    if (oldest != pendings.end()) {
        if (role == NoiseRole::Responder) {
            CountUnfinished(oldest->second.address);
        }
        pendings.erase(oldest);
    }
}

void SecureChannel::CountUnfinished(const std::string& address) {
    auto counted = unfinished.find(address);
    if (counted == unfinished.end()) {
        if (unfinished.size() >= kMostSessions) {
            return; // a flood from many addresses: those counted already are told
        }
        counted = unfinished.emplace(address, 0).first;
    }
    if (++counted->second == kUnfinishedToTell) {
        toTell.push_back(address);
    }
}

std::vector<std::string> SecureChannel::TakeUnfinished() {
    return std::exchange(toTell, {});
}

std::optional<SecureChannel::Outgoing> SecureChannel::Confirm(SessionIndex, Session& session) {
    const auto sealed = session.transport.Seal({});
    if (!sealed) {
        return std::nullopt;
    }
    return Compose(
        session.address,
        {.kind = SecureKind::Transport, .receiver = session.peerIndex, .message = *sealed});
}

std::optional<SecureChannel::Outgoing>
SecureChannel::Seal(SessionIndex index, std::span<const std::uint8_t> plaintext) {
    const auto found = sessions.find(index);
    if (found == sessions.end() || plaintext.size() > kSecureMaxPlaintext) {
        return std::nullopt;
    }
    const auto sealed = found->second.transport.Seal(plaintext);
    if (!sealed) {
        return std::nullopt;
    }
    return Compose(
        found->second.address,
        {.kind = SecureKind::Transport, .receiver = found->second.peerIndex, .message = *sealed});
}

std::vector<SecureChannel::Outgoing>
SecureChannel::SealBundle(std::span<const SessionIndex> indices,
                          std::span<const std::uint8_t> plaintext) {
    if (plaintext.size() > kBundleMaxPlaintext) {
        return {};
    }
    std::vector<BundleEntry> entries;
    for (const SessionIndex index : indices) {
        const auto found = sessions.find(index);
        if (found == sessions.end()) {
            continue;
        }
        if (auto sealed = found->second.transport.Seal(plaintext)) {
            entries.push_back({found->second.peerIndex, std::move(*sealed)});
        }
    }
    std::vector<Outgoing> out;
    for (auto& bundle : ComposeBundles(ownName, entries)) {
        out.push_back({std::string(kBroadcastAddress), std::move(bundle)});
    }
    return out;
}

std::vector<SecureChannel::Outgoing> SecureChannel::Poll() {
    const auto current = now();
    std::vector<Outgoing> out;
    for (auto entry = pendings.begin(); entry != pendings.end();) {
        Pending& pending = entry->second;
        const bool initiator = pending.role == NoiseRole::Initiator;
        if (current - pending.started >=
            (initiator ? Clock::duration(kInitiatorLife) : Clock::duration(kResponderLife))) {
            const auto session = sessions.find(entry->first);
            if (initiator && session != sessions.end() && !session->second.confirmed) {
                sessions.erase(session);
            }
            if (!initiator) {
                CountUnfinished(pending.address);
            }
            entry = pendings.erase(entry);
            continue;
        }
        if (initiator && current >= pending.nextResend) {
            out.push_back({pending.address, pending.lastSent});
            pending.interval = std::min<Clock::duration>(pending.interval * 3 / 2, kLongestResend);
            pending.nextResend = current + pending.interval;
        }
        ++entry;
    }
    std::erase_if(sessions, [&](const auto& entry) {
        return current - entry.second.lastHeard >= kIdleSession;
    });
    return out;
}

void SecureChannel::Close(SessionIndex index) {
    pendings.erase(index);
    sessions.erase(index);
}

} // namespace kestrane
