#pragma once

#include "chat/HelloAnswerBudget.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrane {

/// Which hosts speak DELIVERY/1, and whether each is still there.
///
/// Every copy broadcasts PRESENT right after its hello, and again as a
/// heartbeat every kHeartbeatShortest to kHeartbeatLongest (a fresh random
/// wait each time, so copies started together drift apart). A hello from
/// another host is answered with one PRESENT by broadcast after a random
/// kAnswerShortest to kAnswerLongest, and one answer covers every hello heard
/// meanwhile, so many copies starting at once cause no storm. A peer not heard
/// from for kProbeAfter is sent PROBE by unicast every kProbeEvery; one not
/// heard from for kAwayAfter is away, and is back as soon as anything from it
/// is heard. Hosts that never spoke DELIVERY/1 are not tracked: nothing tells
/// when they go, except their leaving notice.
///
/// At most kMostPeers peers are tracked; a newcomer to a full table takes the
/// place of the one heard from least recently. Names are matched whole, ASCII
/// case aside. UI thread only.
class PeerPresence {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds kHeartbeatShortest{36};
    static constexpr std::chrono::seconds kHeartbeatLongest{44};
    static constexpr std::chrono::milliseconds kAnswerShortest{200};
    static constexpr std::chrono::milliseconds kAnswerLongest{2000};
    static constexpr std::chrono::seconds kProbeAfter{45};
    static constexpr std::chrono::seconds kProbeEvery{1};
    static constexpr std::chrono::seconds kAwayAfter{60};
    static constexpr std::size_t kMostPeers = 1024;
    static constexpr std::size_t kMostCandidates = 256;
    /// A name's check waits for the budgets at most this long after its last notice.
    static constexpr std::chrono::seconds kCheckWithin{30};
    /// PROBEs that check where a new name speaks from, as PROBE answers are bounded.
    static constexpr HelloAnswerBudget::Limits kCheckLimits{.answersPerSecond = 1,
                                                            .answerBurst = 3,
                                                            .allAnswersPerSecond = 10,
                                                            .allAnswerBurst = 20,
                                                            .mostSources = 1024};

    enum class Heard {
        Nothing, // not tracked, or tracked and present before
        NewPeer, // now known to speak DELIVERY/1: it answered from its address
        CameBack // was away
    };
    struct Peer {
        std::string name;
        std::string address;
    };
    /// What Poll found due.
    struct Due {
        bool broadcastPresent = false;     // a heartbeat or an answer to hellos
        std::vector<Peer> probes;          // send PROBE to each
        std::vector<std::string> wentAway; // by name
    };

    explicit PeerPresence(std::uint64_t seed);

    /// The own hello and PRESENT went out now: the heartbeat starts.
    void Started(Clock::time_point now);
    /// Anything from `name` at `address`; `speaksDelivery` when it was a
    /// DELIVERY/1 notice. A host is tracked from the first notice it sends
    /// from an address after a PROBE went there.
    Heard HeardFrom(std::string_view name, std::string_view address, bool speaksDelivery,
                    Clock::time_point now);
    /// Its leaving notice: no longer tracked.
    void Left(std::string_view name);
    /// Another host said hello: a PRESENT answer is due soon, if none is. A
    /// heartbeat that goes first is the answer. Ignored before Started.
    void HelloHeard(Clock::time_point now);

    /// Each PROBE it asks for was admitted by `sends` too (every probe and
    /// retransmission of the copy shares it); one refused is skipped, as if lost.
    Due Poll(Clock::time_point now, HelloAnswerBudget& sends);
    /// When Poll next has something to do; nothing before Started with no peer.
    std::optional<Clock::time_point> NextDue() const;

    bool SpeaksDelivery(std::string_view name) const;
    bool IsAway(std::string_view name) const;
    /// The tracked peers that are not away.
    std::vector<Peer> PresentPeers() const;

private:
    struct Tracked {
        Peer peer;
        Clock::time_point lastHeard;
        std::optional<Clock::time_point> lastProbe; // since it was last heard
        bool away = false;
    };
    using Entries = std::list<Tracked>;
    /// A name heard in a notice, not yet confirmed at `peer.address`.
    struct Candidate {
        Peer peer;
        Clock::time_point lastHeard;
        bool probeWanted = false;
        bool probed = false; // a PROBE went to peer.address
    };
    using Candidates = std::list<Candidate>; // the most recently heard first

    Clock::duration Draw(Clock::duration shortest, Clock::duration longest);
    const Tracked* Find(std::string_view name) const;
    void MakeRoom();
    void NoteQuietDue();
    /// A notice from a name not tracked: true when it confirms the name.
    bool Check(const std::string& key, std::string_view name, std::string_view address,
               Clock::time_point now);
    void ProbeCandidates(Clock::time_point now, HelloAnswerBudget& sends, std::vector<Peer>& out);

    std::mt19937_64 random;
    std::optional<Clock::time_point> heartbeat;
    std::optional<Clock::time_point> answer;
    // Both lists run from the most recently heard to the least (`now` never
    // goes back: a steady clock). Every away peer was heard before every
    // present one, and the probed present peers are the tail of `present`, so
    // Poll looks at the quiet ends only.
    Entries present;
    Entries away;
    std::unordered_map<std::string, Entries::iterator> byName; // PeerNameKey
    // The next probe or away: redone when the quiet tail of `present` changes,
    // so NextDue costs the same whatever the table holds.
    std::optional<Clock::time_point> quietDue;
    Candidates candidates;
    std::unordered_map<std::string, Candidates::iterator> candidateByName; // PeerNameKey
    std::optional<Clock::time_point> checksDue; // some candidate wants its PROBE
    HelloAnswerBudget checks{kCheckLimits};
};

} // namespace kestrane
