#include "chat/PeerPresence.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;
using Presence = PeerPresence;
using Heard = PeerPresence::Heard;
using Milliseconds = std::chrono::milliseconds;
const Presence::Clock::time_point T0 = Presence::Clock::time_point{} + 1h;

// What the copy may send unasked: the probes of each test draw on a fresh budget.
struct Sends : HelloAnswerBudget {
    Sends() : HelloAnswerBudget(kDeliverySendLimits) {}
};

Milliseconds Since(Presence::Clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(when - T0);
}

TEST(PresenceTest, HeartbeatComesWithinItsBoundsAndIsDrawnAfresh) {
    std::set<Presence::Clock::duration> firstWaits;
    for (std::uint64_t seed : {1, 2, 3, 99}) {
        SCOPED_TRACE(seed);
        Presence presence(seed);
        Sends sends;
        presence.Started(T0);
        auto sent = T0;
        std::set<Presence::Clock::duration> waits;
        for (int beat = 0; beat < 6; ++beat) {
            const auto due = presence.NextDue().value();
            ASSERT_GE(due - sent, Presence::kHeartbeatShortest);
            ASSERT_LE(due - sent, Presence::kHeartbeatLongest);
            EXPECT_FALSE(presence.Poll(due - 1ms, sends).broadcastPresent);
            EXPECT_TRUE(presence.Poll(due, sends).broadcastPresent);
            (beat == 0 ? firstWaits : waits).insert(due - sent);
            sent = due;
        }
        EXPECT_EQ(waits.size(), 5u);
    }
    EXPECT_EQ(firstWaits.size(), 4u) << "copies started together drift apart at once";
}

// Polls every 2 ms from `from` to `to`, hearing a hello every `helloEvery`
// before `hellosUntil`, and returns when PRESENT went out.
std::vector<Milliseconds> Broadcasts(Presence& presence, Milliseconds from, Milliseconds to,
                                     Milliseconds helloEvery = 1ms, Milliseconds hellosUntil = {}) {
    std::vector<Milliseconds> sent;
    Sends sends;
    for (auto at = from; at <= to; at += 2ms) {
        if (at < hellosUntil && at % helloEvery == 0ms) {
            presence.HelloHeard(T0 + at);
        }
        if (presence.Poll(T0 + at, sends).broadcastPresent) {
            sent.push_back(at);
        }
    }
    return sent;
}

TEST(PresenceTest, OneAnswerCoversEveryHelloHeardMeanwhile) {
    Presence early(7);
    early.HelloHeard(T0);
    EXPECT_FALSE(early.NextDue()) << "nothing to answer before the own start";
    // 100 hellos in 0.2 s, before any answer can go: one answer. In 1 s: one
    // at most every 0.2 s, the last after the last hello.
    const std::pair<Milliseconds, std::size_t> storms[] = {{2ms, 1}, {10ms, 5}};
    for (std::uint64_t seed : {1, 2, 3, 4}) {
        for (const auto& [spacing, most] : storms) {
            SCOPED_TRACE(testing::Message() << seed << " " << spacing.count());
            Presence presence(seed);
            presence.Started(T0 - 10s);
            const auto sent = Broadcasts(presence, 0ms, 5s, spacing, spacing * 100);
            ASSERT_GE(sent.size(), 1u);
            EXPECT_LE(sent.size(), most);
            EXPECT_GE(sent[0], 200ms);
            EXPECT_LE(sent[0], 2000ms);
            EXPECT_GT(sent.back(), spacing * 99);
            EXPECT_GE(presence.NextDue().value(), T0 + sent.back() + Presence::kHeartbeatShortest);
        }
    }
    // A hello just before the heartbeat: the heartbeat is the answer.
    Presence presence(5);
    presence.Started(T0);
    const auto beat = Since(presence.NextDue().value());
    presence.HelloHeard(T0 + beat - 100ms);
    EXPECT_EQ(Broadcasts(presence, beat - 100ms, beat + 3s).size(), 1u);
}

// What Poll reported, and when: "probe ADDRESS" or "away NAME".
using Events = std::vector<std::pair<Milliseconds, std::string>>;
void Record(Events& events, Milliseconds at, const Presence::Due& due) {
    for (const auto& peer : due.probes) {
        events.emplace_back(at, "probe " + peer.address);
    }
    for (const auto& name : due.wentAway) {
        events.emplace_back(at, "away " + name);
    }
}

TEST(PresenceTest, QuietPeerIsProbedThenAwayAndBackOnAnyDatagram) {
    Events expected; // a probe a second from 45 s, then away at 60 s
    for (auto at = 45s; at < 60s; at += 1s) {
        expected.emplace_back(at, "probe 10.0.0.3");
    }
    expected.emplace_back(60s, "away PC2");
    for (bool byNextDue : {false, true}) {
        SCOPED_TRACE(byNextDue ? "polled when due" : "polled every 250 ms");
        Presence presence(1);
        Sends sends;
        // A plain datagram draws no probe. A notice draws one to where it came from; a notice
        // from there after that confirms the name.
        Events checks;
        for (const auto& [from, notice, poll] : {std::tuple{"10.0.0.2", false, true},
                                                 {"10.0.0.2", false, true},
                                                 {"10.0.0.2", true, true},
                                                 {"10.0.0.9", true, false},
                                                 {"10.0.0.9", true, true},
                                                 {"10.0.0.2", true, true}}) {
            EXPECT_EQ(presence.HeardFrom("PC2", from, notice, T0 - 2s), Heard::Nothing) << from;
            if (poll) {
                Record(checks, -2s, presence.Poll(T0 - 2s, sends));
            }
        }
        EXPECT_EQ(
            checks,
            (Events{{-2s, "probe 10.0.0.2"}, {-2s, "probe 10.0.0.9"}, {-2s, "probe 10.0.0.2"}}));
        EXPECT_FALSE(presence.SpeaksDelivery("PC2"));
        EXPECT_EQ(presence.HeardFrom("PC2", "10.0.0.2", true, T0 - 1s), Heard::NewPeer);
        EXPECT_EQ(presence.HeardFrom("pc2", "10.0.0.3", false, T0), Heard::Nothing);
        EXPECT_FALSE(presence.SpeaksDelivery("PC20"));
        Events events;
        auto at = 0ms;
        for (int poll = 0; poll < 400 && at <= 90s; ++poll, at += byNextDue ? 0ms : 250ms) {
            if (byNextDue) {
                const auto due = presence.NextDue();
                if (!due) {
                    break;
                }
                at = Since(*due);
            }
            Record(events, at, presence.Poll(T0 + at, sends));
        }
        EXPECT_EQ(events, expected);
        EXPECT_TRUE(presence.IsAway("pc2"));
        EXPECT_TRUE(presence.PresentPeers().empty());
        EXPECT_EQ(presence.HeardFrom("Pc2", "10.0.0.4", false, T0 + 91s), Heard::CameBack);
        EXPECT_EQ(presence.HeardFrom("PC2", "10.0.0.4", true, T0 + 92s), Heard::Nothing);
        ASSERT_EQ(presence.PresentPeers().size(), 1u);
        EXPECT_EQ(presence.PresentPeers()[0].address, "10.0.0.4");
        presence.Left("pC2");
        EXPECT_FALSE(presence.SpeaksDelivery("PC2"));
        EXPECT_FALSE(presence.NextDue());
        EXPECT_EQ(presence.HeardFrom("PC2", "10.0.0.4", false, T0 + 93s), Heard::Nothing);
        EXPECT_EQ(presence.HeardFrom("PC2", "10.0.0.4", true, T0 + 94s), Heard::Nothing);
    }
}

TEST(PresenceTest, NamesForgedAtAnotherHostsAddressDrawFewProbes) {
    // Notices under 250 names, all from 10.0.0.9 (which never answers), sent again each second
    // for 20 s. As peers, each would be probed every second from 45 s to 60 s: 3,750 probes.
    Presence presence(1);
    Sends sends;
    presence.Started(T0);
    std::vector<std::size_t> probes(120); // to 10.0.0.9, in each second
    const auto poll = [&](Presence::Clock::time_point at) {
        probes[static_cast<std::size_t>((at - T0) / 1s)] += presence.Poll(at, sends).probes.size();
    };
    for (auto second = 0s; second < 120s; ++second) {
        for (auto due = presence.NextDue(); due && *due < T0 + second; due = presence.NextDue()) {
            poll(*due);
        }
        for (int name = 0; second < 20s && name < 250; ++name) {
            presence.HeardFrom("F" + std::to_string(name), "10.0.0.9", true, T0 + second);
            poll(T0 + second);
        }
        if (second == 0s || second == 19s) {
            // Each round confirms names probed before it: three, then about one a second.
            EXPECT_EQ(presence.PresentPeers().size(), second == 0s ? 0u : 21u);
        }
    }
    EXPECT_EQ(probes[0], Presence::kCheckLimits.answerBurst);
    // A check the budgets refuse waits for them, until 30 s after the name's last notice.
    EXPECT_EQ(probes[30], Presence::kCheckLimits.answersPerSecond);
    EXPECT_EQ(std::accumulate(probes.begin() + 50, probes.begin() + 64, 0u), 0u);
    const auto limits = HelloAnswerBudget::kDeliverySendLimits;
    EXPECT_LE(*std::max_element(probes.begin() + 1, probes.end()),
              limits.answerBurst + limits.answersPerSecond);
}

TEST(PresenceTest, FullTableMakesRoomByTheLeastRecentlyHeard) {
    Presence presence(1);
    Sends sends;
    const auto name = [](std::size_t index) { return "PC" + std::to_string(index); };
    const auto meet = [&](const std::string& peer, const std::string& address, Milliseconds at) {
        presence.HeardFrom(peer, address, true, T0 + at);
        presence.Poll(T0 + at, sends);
        return presence.HeardFrom(peer, address, true, T0 + at);
    };
    for (std::size_t index = 0; index + 1 < Presence::kMostPeers; ++index) {
        ASSERT_EQ(meet(name(index),
                       "10.1." + std::to_string(index / 256) + "." + std::to_string(index % 256),
                       static_cast<long>(index) * 100ms),
                  Heard::NewPeer);
    }
    presence.Poll(T0 + 163s, sends);
    EXPECT_TRUE(presence.PresentPeers().empty());
    // Full now; the away peers were heard least recently, PC1 first of them.
    EXPECT_EQ(meet("FRESH", "10.0.0.2", 164s), Heard::NewPeer);
    EXPECT_EQ(presence.HeardFrom("PC0", "10.0.0.1", false, T0 + 165s), Heard::CameBack);
    EXPECT_EQ(meet("NEW", "10.0.0.3", 166s), Heard::NewPeer);
    EXPECT_FALSE(presence.SpeaksDelivery("PC1"));
    for (const char* kept : {"PC0", "PC2", "FRESH", "NEW"}) {
        EXPECT_TRUE(presence.SpeaksDelivery(kept)) << kept;
    }
    EXPECT_EQ(meet("LAST", "10.0.0.4", 167s), Heard::NewPeer);
    EXPECT_FALSE(presence.SpeaksDelivery("PC2"));
    EXPECT_EQ(presence.PresentPeers().size(), 4u);
}

} // namespace
} // namespace kestrane::test
