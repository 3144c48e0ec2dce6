#pragma once

#include "chat/SecureChannel.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrane {

class SecureLink;

/// Which DELIVERY/2 session speaks for each host, and when to start one. A
/// host that announces DELIVERY/2 from an address where no session of its
/// name lives gets a handshake after a random 0.2 to 2 s, so that two hosts
/// that hear each other at once rarely both start (when they do, the engine
/// keeps one). Sessions the owner trusts are kept alive by one broadcast
/// bundle of empty messages at each heartbeat, and get a new handshake at the
/// first heartbeat past SecureChannel::kRekeyAfter; the engine's resends and
/// expiries run from here. At
/// most kMostWaiting addresses wait for a handshake. Does not own the link.
/// UI thread only.
class SecurePeers : public QObject {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMostWaiting = 1024;
    static constexpr auto kShortestWait = std::chrono::milliseconds(200);
    static constexpr auto kLongestWait = std::chrono::milliseconds(2000);
    /// How often the engine is polled while a handshake is under way.
    static constexpr auto kPollInterval = std::chrono::milliseconds(50);
    static constexpr auto kRejoinInterval = std::chrono::seconds(5);

    /// `unfinished` is told of an address that left several handshakes
    /// unfinished, once a run.
    SecurePeers(SecureLink& link, std::function<void(const std::string& address)> unfinished);

    /// `name` announced DELIVERY/2 from `address`.
    void Announced(const std::string& name, const std::string& address);
    /// `name` said hello from `address`: when a session speaks for it, a new
    /// handshake starts there (at most once per kRejoinInterval a name), since
    /// a host that started again has no session of its own any more. The old
    /// session goes on until a new one replaces it.
    void Rejoined(const std::string& name, const std::string& address);
    /// The session `up` now speaks for its name (a key the owner trusts).
    void Trust(const SecureChannel::SessionUp& up);
    /// The session `up` is not wanted (a blocked key): it ends.
    void Refuse(const SecureChannel::SessionUp& up);
    /// No session speaks for `name` any more (its key was forgotten): the
    /// next announcement makes a new one.
    void Forget(const std::string& name);
    /// The presence heartbeat went: trusted sessions get a keepalive, all in one bundle.
    void Heartbeat();
    /// Something waits to go to a host with a known key that has no live
    /// session, last heard at `address`: a handshake starts there soon.
    void Reach(const std::string& address) { Wait(address); }
    /// The live trusted session of `name`, if any.
    std::optional<SecureChannel::SessionUp> SessionOf(const std::string& name) const;
    /// The trusted session `index` names, if it speaks for a name.
    std::optional<SecureChannel::SessionUp> Speaker(SessionIndex index) const;
    /// Live trusted sessions.
    std::vector<SessionIndex> LiveSessions() const;

private:
    void Run();
    void Wait(const std::string& address);

    SecureLink& link;
    std::function<void(const std::string& address)> unfinished;
    std::map<std::string, SecureChannel::SessionUp> trusted; // by PeerNameKey
    std::unordered_map<SessionIndex, std::string> speakers;  // trusted's sessions: their name's key
    std::map<std::string, Clock::time_point> waiting;        // address, when to start
    std::map<std::string, Clock::time_point> rejoined;       // by PeerNameKey, of trusted names
    QTimer timer;
};

} // namespace kestrane
