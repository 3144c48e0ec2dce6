#pragma once

#include "chat/HelloAnswerBudget.h"
#include "chat/PeerHello.h"
#include "chat/SecureDatagram.h"
#include "security/KeyPair.h"
#include "security/NoiseHandshake.h"
#include "security/NoiseTransport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrane {

/// The DELIVERY/2 engine (docs/security.md): Noise XX handshakes and the
/// sessions they make, between this copy's identity and peers known only by
/// address. No I/O: each call returns the datagrams to send and what happened.
/// Every table is capped and every handshake step that costs X25519 is
/// budgeted, so a flood from any number of addresses costs bounded CPU and
/// memory. A forged R or C is read on a copy of the handshake, so it cannot
/// end a genuine one. One thread at a time (the caller serialises).
class SecureChannel {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMostSessions = 1024;
    static constexpr std::size_t kMostSessionsPerAddress = 4;
    static constexpr std::size_t kMostSessionsPerKey = 2;
    static constexpr std::size_t kMostResponderPendings = 64;
    static constexpr std::size_t kMostResponderPendingsPerAddress = 2;
    static constexpr std::size_t kMostInitiatorPendings = 64;
    static constexpr int kMostReadAttempts = 4;
    static constexpr auto kResponderLife = std::chrono::seconds(5);
    static constexpr auto kInitiatorLife = std::chrono::seconds(10);
    static constexpr auto kFirstResend = std::chrono::milliseconds(250);
    static constexpr auto kLongestResend = std::chrono::milliseconds(500);
    static constexpr auto kIdleSession = std::chrono::minutes(5);
    /// A session's keys are replaced by a new handshake after this long, so
    /// that keys taken from a running copy open at most this much traffic.
    static constexpr auto kRekeyAfter = std::chrono::minutes(30);
    static constexpr int kUnfinishedToTell = 3;
    /// Entries of one bundle opened at most (one Poly1305 each).
    static constexpr std::size_t kMostBundleOpens = 4;
    /// Where bundles go.
    static constexpr std::string_view kBroadcastAddress = "255.255.255.255";
    /// Initiations answered (3 X25519 each).
    static constexpr HelloAnswerBudget::Limits kInitiationLimits{.answersPerSecond = 1,
                                                                 .answerBurst = 3,
                                                                 .allAnswersPerSecond = 20,
                                                                 .allAnswerBurst = 40,
                                                                 .mostSources = 1024};
    /// Answers that cost no X25519: a cached R, a repeated confirmation.
    static constexpr HelloAnswerBudget::Limits kRepeatLimits{.answersPerSecond = 5,
                                                             .answerBurst = 5,
                                                             .allAnswersPerSecond = 20,
                                                             .allAnswerBurst = 40,
                                                             .mostSources = 1024};
    /// Initiations this copy starts.
    static constexpr HelloAnswerBudget::Limits kStartLimits{.answersPerSecond = 10,
                                                            .answerBurst = 20,
                                                            .allAnswersPerSecond = 10,
                                                            .allAnswerBurst = 20,
                                                            .mostSources = 1024};

    struct Outgoing {
        std::string address;
        std::vector<std::uint8_t> datagram;
    };
    /// A session both sides hold: the responder's once C authenticated, the
    /// initiator's once the first T under it did.
    struct SessionUp {
        std::string address;
        std::string peerName; // from the encrypted handshake, not the name field
        bool peerFiles = false;
        PublicKey peerKey{};
        SessionIndex index = 0;
    };
    struct Opened {
        SessionIndex session = 0;
        std::vector<std::uint8_t> plaintext; // empty: a confirmation or keepalive
    };
    struct Result {
        std::vector<Outgoing> send;
        std::optional<SessionUp> up;
        std::vector<Opened> opened; // a T opens one, a bundle up to kMostBundleOpens
    };

    SecureChannel(const KeyPair& identity, std::string ownName,
                  std::function<Clock::time_point()> now = Clock::now);

    /// An I to `address`; nothing while a handshake we started with it is
    /// pending, the table is full, or the budget is spent.
    std::optional<Outgoing> Initiate(const std::string& address);
    /// A datagram from `address` (the whole type-9 datagram). Of a bundle,
    /// only entries for our sessions are opened, at most kMostBundleOpens,
    /// each as a T would be; at most one session comes up per datagram.
    Result OnDatagram(const std::string& address, std::span<const std::uint8_t> datagram);
    /// A T carrying `plaintext` on the session `index` names, to its address.
    std::optional<Outgoing> Seal(SessionIndex index, std::span<const std::uint8_t> plaintext);
    /// One bundle entry for each session of `indices` that lives, from its
    /// sending state, packed into as few broadcast bundles as fit; nothing
    /// when `plaintext` is longer than kBundleMaxPlaintext.
    std::vector<Outgoing> SealBundle(std::span<const SessionIndex> indices,
                                     std::span<const std::uint8_t> plaintext);
    /// Resends of I and C that are due; drops what expired.
    std::vector<Outgoing> Poll();
    /// Ends the session or handshake `index` names.
    void Close(SessionIndex index);

    /// The addresses of the sessions of `indices` that are older than
    /// kRekeyAfter and that this side started: it starts their new handshake,
    /// so that both sides rarely start one at once.
    std::vector<std::string> DueForRekey(std::span<const SessionIndex> indices) const;

    std::size_t Sessions() const { return sessions.size(); }
    bool Has(SessionIndex index) const { return sessions.contains(index); }
    std::size_t ResponderPendings() const;
    std::size_t InitiatorPendings() const;
    /// Addresses that have left kUnfinishedToTell handshakes unfinished (each
    /// R answered and no C, expired or pushed out), each given once a run.
    std::vector<std::string> TakeUnfinished();
    /// X25519 operations begun, each handshake step counted at its full cost.
    std::uint64_t DhOperations() const { return dhOperations; }

private:
    struct Pending {
        NoiseRole role;
        std::string address;
        NoiseHandshake handshake;
        SessionIndex peerIndex = 0; // 0 until known
        Clock::time_point started{};
        Clock::time_point nextResend{};
        Clock::duration interval{};
        std::vector<std::uint8_t> initiation{}; // responder: the I answered
        std::vector<std::uint8_t> lastSent{};   // I or C resent, or the cached R
        int attempts = 0;
    };
    struct Session {
        std::string address;
        SessionIndex peerIndex = 0;
        NoiseTransport transport;
        SessionUp up;
        Clock::time_point created{};
        Clock::time_point lastHeard{};
        bool confirmed = false;
        bool started = false;                     // this side sent the I
        std::vector<std::uint8_t> confirmation{}; // responder: the C that made it
    };

    void OnInitiation(const std::string& address, const SecureDatagram& datagram,
                      std::span<const std::uint8_t> bytes, Result& result);
    void OnResponse(const std::string& address, const SecureDatagram& datagram, Result& result);
    void OnConfirmation(const std::string& address, const SecureDatagram& datagram,
                        std::span<const std::uint8_t> bytes, Result& result);
    void OnBundle(const SecureDatagram& datagram, Result& result);
    void OpenTransport(SessionIndex index, std::span<const std::uint8_t> message, Result& result);
    static std::optional<Session> MakeSession(const NoiseHandshake& handshake,
                                              const std::string& address, SessionIndex index,
                                              SessionIndex peerIndex, PeerHello hello,
                                              Clock::time_point current);
    void AddSession(SessionIndex index, Session session);
    void EvictSession(const std::function<bool(const Session&)>& among, bool byLastHeard);
    void EvictOldestPending(NoiseRole role, const std::string* address);
    void CountUnfinished(const std::string& address);
    std::size_t CountPendings(NoiseRole role, const std::string* address) const;
    std::optional<SessionIndex> NewIndex() const;
    std::optional<Outgoing> Confirm(SessionIndex index, Session& session);
    Outgoing Compose(const std::string& address, const SecureDatagram& datagram) const;

    KeyPair identity;
    std::string ownName;
    std::vector<std::uint8_t> ownHello;
    std::function<Clock::time_point()> now;
    HelloAnswerBudget initiations;
    HelloAnswerBudget repeats;
    HelloAnswerBudget starts;
    std::unordered_map<SessionIndex, Pending> pendings;
    std::unordered_map<SessionIndex, Session> sessions;
    std::uint64_t dhOperations = 0;
    /// Unfinished handshakes by address, at most kMostSessions addresses.
    std::unordered_map<std::string, int> unfinished;
    std::vector<std::string> toTell;
};

} // namespace kestrane
