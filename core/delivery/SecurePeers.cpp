#include "core/delivery/SecurePeers.h"

#include "chat/PeerName.h"
#include "chat/SecureLink.h"

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace kestrane {
namespace {

SecurePeers::Clock::duration RandomWait() {
    static thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long long> milliseconds(SecurePeers::kShortestWait.count(),
                                                          SecurePeers::kLongestWait.count());
    return std::chrono::milliseconds(milliseconds(random));
}

} // namespace

SecurePeers::SecurePeers(SecureLink& secureLink,
                         std::function<void(const std::string& address)> tellUnfinished)
    : link(secureLink), unfinished(std::move(tellUnfinished)) {
    timer.setSingleShot(true);
    timer.callOnTimeout([this] { Run(); });
}

void SecurePeers::Announced(const std::string& name, const std::string& address) {
    if (const auto session = SessionOf(name); session && session->address == address) {
        return;
    }
    Wait(address);
}

void SecurePeers::Rejoined(const std::string& name, const std::string& address) {
    const std::string byName = PeerNameKey(name);
    if (!trusted.contains(byName)) {
        return;
    }
    const auto now = Clock::now();
    const auto last = rejoined.find(byName);
    if (last != rejoined.end() && now - last->second < kRejoinInterval) {
        return;
    }
    rejoined.insert_or_assign(byName, now);
    Wait(address);
}

void SecurePeers::Wait(const std::string& address) {
    if (waiting.contains(address) || waiting.size() >= kMostWaiting) {
        return;
    }
    waiting.emplace(address, Clock::now() + RandomWait());
    Run();
}

void SecurePeers::Trust(const SecureChannel::SessionUp& up) {
    const std::string byName = PeerNameKey(up.peerName);
    if (const auto before = trusted.find(byName); before != trusted.end()) {
        speakers.erase(before->second.index);
    }
    trusted.insert_or_assign(byName, up);
    speakers.insert_or_assign(up.index, byName);
    waiting.erase(up.address);
}

void SecurePeers::Refuse(const SecureChannel::SessionUp& up) {
    link.Close(up.index);
    waiting.erase(up.address);
}

void SecurePeers::Forget(const std::string& name) {
    if (const auto before = trusted.find(PeerNameKey(name)); before != trusted.end()) {
        speakers.erase(before->second.index);
        trusted.erase(before);
    }
    rejoined.erase(PeerNameKey(name));
}

void SecurePeers::Heartbeat() {
    for (auto entry = trusted.begin(); entry != trusted.end();) {
        if (!link.Alive(entry->second.index)) {
            rejoined.erase(entry->first);
            speakers.erase(entry->second.index);
            entry = trusted.erase(entry); // expired or evicted in the engine
        } else {
            ++entry;
        }
    }
    if (const std::vector<SessionIndex> live = LiveSessions(); !live.empty()) {
        link.Broadcast(live, {});
        // The old session speaks on until the new one replaces it.
        for (const std::string& address : link.DueForRekey(live)) {
            Wait(address);
        }
    }
    Run();
}

std::vector<SessionIndex> SecurePeers::LiveSessions() const {
    std::vector<SessionIndex> live;
    for (const auto& [name, up] : trusted) {
        if (link.Alive(up.index)) {
            live.push_back(up.index);
        }
    }
    return live;
}

std::optional<SecureChannel::SessionUp> SecurePeers::Speaker(SessionIndex index) const {
    const auto speaker = speakers.find(index);
    if (speaker == speakers.end()) {
        return std::nullopt;
    }
    return trusted.at(speaker->second);
}

std::optional<SecureChannel::SessionUp> SecurePeers::SessionOf(const std::string& name) const {
    const auto found = trusted.find(PeerNameKey(name));
    if (found == trusted.end() || !link.Alive(found->second.index)) {
        return std::nullopt;
    }
    return found->second;
}

void SecurePeers::Run() {
    const auto now = Clock::now();
    std::optional<Clock::time_point> next;
    for (auto entry = waiting.begin(); entry != waiting.end();) {
        if (entry->second > now) {
            next = std::min(next.value_or(entry->second), entry->second);
            ++entry;
        } else {
            // Refused when a handshake with it is under way already, or the
            // start budget is spent: the next announcement tries again.
            link.Initiate(entry->first);
            entry = waiting.erase(entry);
        }
    }
    const SecureLink::Polled polled = link.Poll();
    for (const std::string& address : polled.unfinished) {
        unfinished(address);
    }
    if (polled.underWay) {
        next = std::min(next.value_or(now), now);
    }
    if (!next) {
        timer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    timer.start(std::max<std::chrono::milliseconds>(wait, kPollInterval));
}

} // namespace kestrane
