#include "chat/PeerPresence.h"

#include "chat/PeerName.h"

#include <algorithm>
#include <utility>

namespace kestrane {

PeerPresence::PeerPresence(std::uint64_t seed) : random(seed) {}

PeerPresence::Clock::duration PeerPresence::Draw(Clock::duration shortest,
                                                 Clock::duration longest) {
    std::uniform_int_distribution<Clock::rep> wait(shortest.count(), longest.count());
    return Clock::duration{wait(random)};
}

void PeerPresence::Started(Clock::time_point now) {
    heartbeat = now + Draw(kHeartbeatShortest, kHeartbeatLongest);
    answer.reset();
}

void PeerPresence::HelloHeard(Clock::time_point now) {
    if (!heartbeat || answer) {
        return;
    }
    answer = now + Draw(kAnswerShortest, kAnswerLongest);
}

PeerPresence::Heard PeerPresence::HeardFrom(std::string_view name, std::string_view address,
                                            bool speaksDelivery, Clock::time_point now) {
    std::string key = PeerNameKey(name);
    const auto found = byName.find(key);
    if (found == byName.end()) {
        if (!speaksDelivery || name.empty() || address.empty() || !Check(key, name, address, now)) {
            return Heard::Nothing;
        }
        MakeRoom();
        present.push_front(Tracked{Peer{std::string(name), std::string(address)}, now, {}, false});
        byName.emplace(std::move(key), present.begin());
        // Every other peer falls due no later than this one.
        quietDue = quietDue.value_or(now + kProbeAfter);
        return Heard::NewPeer;
    }
    Tracked& peer = *found->second;
    const auto after = std::next(found->second);
    const bool setsQuietDue =
        peer.away || peer.lastProbe || after == present.end() || after->lastProbe;
    if (!address.empty()) {
        peer.peer.address = address;
    }
    peer.lastHeard = now;
    peer.lastProbe.reset();
    const bool cameBack = peer.away;
    peer.away = false;
    present.splice(present.begin(), cameBack ? away : present, found->second);
    if (setsQuietDue) {
        NoteQuietDue();
    }
    return cameBack ? Heard::CameBack : Heard::Nothing;
}

bool PeerPresence::Check(const std::string& key, std::string_view name, std::string_view address,
                         Clock::time_point now) {
    if (const auto found = candidateByName.find(key); found != candidateByName.end()) {
        Candidate& candidate = *found->second;
        if (candidate.probed && candidate.peer.address == address) {
            candidates.erase(found->second);
            candidateByName.erase(found);
            return true;
        }
        candidates.splice(candidates.begin(), candidates, found->second);
        if (candidate.peer.address != address) {
            candidate.peer.address = address;
            candidate.probed = false;
        }
    } else {
        if (candidates.size() >= kMostCandidates) {
            candidateByName.erase(PeerNameKey(candidates.back().peer.name));
            candidates.pop_back();
        }
        candidates.push_front({Peer{std::string(name), std::string(address)}, now});
        candidateByName.emplace(key, candidates.begin());
    }
    candidates.front().lastHeard = now;
    candidates.front().probeWanted = true;
    checksDue = checksDue ? std::min(*checksDue, now) : now;
    return false;
}

void PeerPresence::ProbeCandidates(Clock::time_point now, HelloAnswerBudget& sends,
                                   std::vector<Peer>& out) {
    if (!checksDue || *checksDue > now) {
        return;
    }
    checksDue.reset();
    // The longest waiting first. A check the budgets refuse waits for them a
    // while; after that it is not owed, and the name's next notice asks again.
    for (auto candidate = candidates.rbegin(); candidate != candidates.rend(); ++candidate) {
        if (!candidate->probeWanted) {
            continue;
        }
        if (now - candidate->lastHeard > kCheckWithin) {
            candidate->probeWanted = false;
        } else if (checks.Admit(candidate->peer.address, now) &&
                   sends.Admit(candidate->peer.address, now)) {
            candidate->probeWanted = false;
            candidate->probed = true;
            out.push_back(candidate->peer);
        } else {
            checksDue = now + std::chrono::milliseconds(100); // a token in all comes back by then
        }
    }
}

void PeerPresence::MakeRoom() {
    if (byName.size() < kMostPeers) {
        return;
    }
    Entries& oldest = away.empty() ? present : away;
    byName.erase(PeerNameKey(oldest.back().peer.name));
    oldest.pop_back();
    NoteQuietDue();
}

void PeerPresence::Left(std::string_view name) {
    const std::string key = PeerNameKey(name);
    if (const auto candidate = candidateByName.find(key); candidate != candidateByName.end()) {
        candidates.erase(candidate->second);
        candidateByName.erase(candidate);
    }
    const auto found = byName.find(key);
    if (found == byName.end()) {
        return;
    }
    (found->second->away ? away : present).erase(found->second);
    byName.erase(found);
    NoteQuietDue();
}

PeerPresence::Due PeerPresence::Poll(Clock::time_point now, HelloAnswerBudget& sends) {
    Due due;
    if ((heartbeat && *heartbeat <= now) || (answer && *answer <= now)) {
        due.broadcastPresent = true;
        heartbeat = now + Draw(kHeartbeatShortest, kHeartbeatLongest);
        answer.reset();
    }
    while (!present.empty() && now - present.back().lastHeard >= kAwayAfter) {
        Tracked& quiet = present.back();
        quiet.away = true;
        due.wentAway.push_back(quiet.peer.name);
        away.splice(away.begin(), present, std::prev(present.end()));
    }
    // Before the quiet peers: checks have a budget of their own, well within `sends`.
    ProbeCandidates(now, sends, due.probes);
    // The probed peers and those now due a probe are the quiet tail of `present`.
    for (auto quiet = present.rbegin();
         quiet != present.rend() && now - quiet->lastHeard >= kProbeAfter; ++quiet) {
        if (!quiet->lastProbe || now - *quiet->lastProbe >= kProbeEvery) {
            quiet->lastProbe = now;
            if (sends.Admit(quiet->peer.address, now)) {
                due.probes.push_back(quiet->peer);
            }
        }
    }
    NoteQuietDue();
    return due;
}

void PeerPresence::NoteQuietDue() {
    quietDue.reset();
    const auto consider = [this](Clock::time_point when) {
        quietDue = quietDue ? std::min(*quietDue, when) : when;
    };
    for (auto quiet = present.rbegin(); quiet != present.rend(); ++quiet) {
        if (!quiet->lastProbe) {
            consider(quiet->lastHeard + kProbeAfter);
            break;
        }
        consider(std::min(*quiet->lastProbe + kProbeEvery, quiet->lastHeard + kAwayAfter));
    }
}

std::optional<PeerPresence::Clock::time_point> PeerPresence::NextDue() const {
    std::optional<Clock::time_point> earliest = quietDue;
    for (const auto& when : {heartbeat, answer, checksDue}) {
        if (when && (!earliest || *when < *earliest)) {
            earliest = when;
        }
    }
    return earliest;
}

const PeerPresence::Tracked* PeerPresence::Find(std::string_view name) const {
    const auto found = byName.find(PeerNameKey(name));
    return found == byName.end() ? nullptr : &*found->second;
}

bool PeerPresence::SpeaksDelivery(std::string_view name) const {
    return Find(name) != nullptr;
}

bool PeerPresence::IsAway(std::string_view name) const {
    const Tracked* peer = Find(name);
    return peer != nullptr && peer->away;
}

std::vector<PeerPresence::Peer> PeerPresence::PresentPeers() const {
    std::vector<Peer> peers;
    peers.reserve(present.size());
    for (const Tracked& tracked : present) {
        peers.push_back(tracked.peer);
    }
    return peers;
}

} // namespace kestrane
