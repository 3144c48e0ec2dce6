// Presence on a simulated LAN: 250 PeerPresence instances, one per host, each
// seeded on its own, on a virtual clock that moves 10 to 50 ms a step. A
// simulated medium hands every broadcast to all other running hosts and every
// unicast to its target one step after it was sent; with a loss rate, each
// copy is lost on its own (as on a noisy wireless LAN). Each host does what a
// copy does: at start it broadcasts hello and PRESENT, it answers hellos when
// Poll says so, answers PROBE with PRESENT by unicast within its budget, and
// sends the PROBEs Poll asks for (those that check a new name's address too),
// polling whenever NextDue has come. Then (e) and (f): what a copy sends to a
// host whose address forged notices carry, as ui/LineDelivery drives the classes.
//   kestrane_presence_bench           the full run (a few seconds)
//   kestrane_presence_bench --short   a quick run that only checks it works
#include "chat/DeliveryNotice.h"
#include "chat/HelloAnswerBudget.h"
#include "chat/LineReceipts.h"
#include "chat/PeerPresence.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using kestrane::DeliveryNotice;
using kestrane::HelloAnswerBudget;
using kestrane::LineReceipts;
using kestrane::PeerPresence;
using Clock = PeerPresence::Clock;
using namespace std::chrono_literals;

constexpr int HOSTS = 250;
constexpr int EVERYBODY = -1;

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double Minutes(Clock::duration duration) {
    return std::chrono::duration<double, std::ratio<60>>(duration).count();
}

/// One LAN of HOSTS copies and the medium between them.
class SimulatedLan {
public:
    struct Away {
        int observer;
        int subject;
        Clock::time_point when;
    };

    SimulatedLan(double lossRate, std::uint64_t seed) : loss(lossRate), random(seed) {
        hosts.reserve(HOSTS);
        for (int host = 0; host < HOSTS; ++host) {
            hosts.push_back(
                Host{PeerPresence(seed * 1000 + static_cast<std::uint64_t>(host)),
                     HelloAnswerBudget(HelloAnswerBudget::kDeliverySendLimits),
                     HelloAnswerBudget(HelloAnswerBudget::kProbeAnswerLimits),
                     "PC" + std::to_string(host),
                     "10.1." + std::to_string(host / 256) + "." + std::to_string(host % 256),
                     Clock::time_point::max(), false, false});
        }
    }

    /// Every host starts at a random moment within `within` from now.
    void StartAll(Clock::duration within) {
        std::uniform_int_distribution<Clock::rep> offset(0, within.count() - 1);
        for (Host& host : hosts) {
            host.startAt = now + Clock::duration{offset(random)};
        }
    }
    /// The host vanishes without a word (power cut, cable out).
    void Kill(int host) { hosts[static_cast<std::size_t>(host)].dead = true; }

    void RunFor(Clock::duration span) {
        const auto end = now + span;
        std::uniform_int_distribution<int> step(10, 50);
        while (now < end) {
            now += std::chrono::milliseconds(step(random));
            StartDue();
            Deliver();
            PollDue();
        }
    }

    Clock::time_point Now() const { return now; }
    long SentInAll() const { return std::accumulate(sent.begin(), sent.end(), 0L); }
    const std::vector<long>& SentBy() const { return sent; }
    const std::vector<Away>& AwayEvents() const { return awayEvents; }
    /// How many others a host counts as speaking DELIVERY/1, the fewest of all hosts.
    std::size_t FewestKnown() const {
        std::size_t fewest = HOSTS;
        for (const Host& host : hosts) {
            fewest = std::min(fewest, host.presence.PresentPeers().size());
        }
        return fewest;
    }

private:
    enum class Kind { Hello, Present, Probe };
    struct Datagram {
        int from;
        int to; // or EVERYBODY
        Kind kind;
    };
    struct Host {
        PeerPresence presence;
        HelloAnswerBudget sends;   // probes
        HelloAnswerBudget answers; // PRESENT in answer to PROBE
        std::string name;
        std::string address;
        Clock::time_point startAt;
        bool running;
        bool dead;
    };

    bool Listening(int host) const {
        const Host& at = hosts[static_cast<std::size_t>(host)];
        return at.running && !at.dead;
    }

    void Send(int from, int to, Kind kind) {
        inFlight.push_back({from, to, kind});
        ++sent[static_cast<std::size_t>(from)];
    }

    void StartDue() {
        for (int index = 0; index < HOSTS; ++index) {
            Host& host = hosts[static_cast<std::size_t>(index)];
            if (!host.running && host.startAt <= now) {
                host.running = true;
                Send(index, EVERYBODY, Kind::Hello);
                Send(index, EVERYBODY, Kind::Present);
                host.presence.Started(now);
            }
        }
    }

    void Deliver() {
        std::vector<Datagram> arriving;
        arriving.swap(inFlight);
        std::bernoulli_distribution lost(loss);
        const auto handOver = [&](int to, const Datagram& datagram) {
            if (to != datagram.from && Listening(to) && !lost(random)) {
                Receive(to, datagram);
            }
        };
        for (const Datagram& datagram : arriving) {
            if (datagram.to != EVERYBODY) {
                handOver(datagram.to, datagram);
                continue;
            }
            for (int to = 0; to < HOSTS; ++to) {
                handOver(to, datagram);
            }
        }
    }

    void Receive(int host, const Datagram& datagram) {
        Host& at = hosts[static_cast<std::size_t>(host)];
        const Host& from = hosts[static_cast<std::size_t>(datagram.from)];
        at.presence.HeardFrom(from.name, from.address, datagram.kind != Kind::Hello, now);
        if (datagram.kind == Kind::Hello) {
            at.presence.HelloHeard(now);
        } else if (datagram.kind == Kind::Probe && at.answers.Admit(from.address, now)) {
            Send(host, datagram.from, Kind::Present);
        }
    }

    void PollDue() {
        for (int index = 0; index < HOSTS; ++index) {
            Host& host = hosts[static_cast<std::size_t>(index)];
            const auto due = host.presence.NextDue();
            if (!Listening(index) || !due || *due > now) {
                continue;
            }
            const PeerPresence::Due what = host.presence.Poll(now, host.sends);
            if (what.broadcastPresent) {
                Send(index, EVERYBODY, Kind::Present);
            }
            for (const PeerPresence::Peer& peer : what.probes) {
                Send(index, std::stoi(peer.name.substr(2)), Kind::Probe);
            }
            for (const std::string& name : what.wentAway) {
                awayEvents.push_back({index, std::stoi(name.substr(2)), now});
            }
        }
    }

    double loss;
    std::mt19937_64 random;
    std::vector<Host> hosts;
    std::vector<Datagram> inFlight;
    std::vector<long> sent = std::vector<long>(HOSTS);
    std::vector<Away> awayEvents;
    Clock::time_point now = Clock::time_point{} + 1h;
};

struct Durations {
    Clock::duration settle;
    Clock::duration rest;
    Clock::duration lossy;
};

/// (b) then (a) then (c) on a LAN without loss.
void RunWithoutLoss(const Durations& durations) {
    SimulatedLan lan(0, 1);
    lan.StartAll(1s);
    lan.RunFor(10s);
    const auto most = *std::max_element(lan.SentBy().begin(), lan.SentBy().end());
    std::printf(
        "(b) start storm, %d hosts start within 1 s: %ld datagrams in the first 10 s in all, "
        "at most %ld from one host; every host knows at least %zu of the %d others then\n",
        HOSTS, lan.SentInAll(), most, lan.FewestKnown(), HOSTS - 1);

    auto knowing = 10s;
    while (lan.FewestKnown() + 1 < HOSTS && knowing < durations.settle) {
        lan.RunFor(1s);
        knowing += 1s;
    }
    std::printf(
        "    every host knew all the others as speaking DELIVERY/1 after %lld s (%ld datagrams "
        "in all by then)\n",
        static_cast<long long>(knowing.count()), lan.SentInAll());
    lan.RunFor(durations.settle - knowing);
    const long before = lan.SentInAll();
    lan.RunFor(durations.rest);
    std::printf("(a) at rest for %.0f min after %.0f min to settle: %.2f datagrams per host per "
                "minute (target under 2); %zu hosts marked away\n",
                Minutes(durations.rest), Minutes(durations.settle),
                static_cast<double>(lan.SentInAll() - before) / HOSTS / Minutes(durations.rest),
                lan.AwayEvents().size());

    // Hosts killed at different points of their heartbeat: how long each takes
    // to be marked away by the last of the others.
    std::vector<std::pair<int, Clock::time_point>> killed;
    for (int victim : {17, 60, 101, 150, 222}) {
        lan.RunFor(9100ms);
        lan.Kill(victim);
        killed.emplace_back(victim, lan.Now());
    }
    lan.RunFor(120s);
    std::string each;
    double worst = 0;
    for (const auto& [victim, when] : killed) {
        double last = -1;
        std::size_t marks = 0;
        for (const auto& event : lan.AwayEvents()) {
            if (event.subject == victim && event.when >= when) {
                last = std::max(last, Seconds(event.when - when));
                ++marks;
            }
        }
        if (marks < HOSTS - killed.size()) {
            std::printf("(c) a host killed: only %zu hosts marked it away within 120 s\n", marks);
            return;
        }
        worst = std::max(worst, last);
        char figure[32];
        std::snprintf(figure, sizeof figure, "%s%.1f", each.empty() ? "" : ", ", last);
        each += figure;
    }
    std::printf("(c) a host killed: every other host marked it away, the last after %.1f s at "
                "worst (target at most 60; %zu kills: %s s)\n",
                worst, killed.size(), each.c_str());
}

/// (d): 30% of the copies lost, nobody leaves.
void RunWithLoss(const Durations& durations) {
    SimulatedLan lan(0.3, 2);
    lan.StartAll(1s);
    lan.RunFor(durations.settle);
    const auto awayBefore = lan.AwayEvents().size();
    const long sentBefore = lan.SentInAll();
    lan.RunFor(durations.lossy);
    const double hours = Minutes(durations.lossy) / 60;
    std::printf("(d) 30%% of copies lost, at rest for %.2f h: %.1f false \"away\" events per host "
                "per hour; %.2f datagrams per host per minute\n",
                hours, static_cast<double>(lan.AwayEvents().size() - awayBefore) / HOSTS / hours,
                static_cast<double>(lan.SentInAll() - sentBefore) / HOSTS /
                    Minutes(durations.lossy));
}

/// Bytes on the wire: the chat datagram and its IPv4 and UDP headers.
long WireBytes(const DeliveryNotice& notice) {
    return static_cast<long>(1 + 32 + notice.Compose().size() + 28);
}

struct Drawn {
    long datagrams = 0;
    long bytes = 0;
};

/// (e) and (f): one copy hears PRESENTs under `names` names, all with another
/// host's address as source, `rounds` times a second apart, then sends a
/// 611-byte line to everybody: what it sends to that address in the 120 s after.
/// Names beyond PeerPresence::kMostCandidates push each other out before they
/// can be confirmed; fewer, sent again, are confirmed as fast as probes may go.
void RunReflection(int names, int rounds) {
    const std::string victim = "10.2.0.9";
    PeerPresence presence(7);
    LineReceipts receipts;
    HelloAnswerBudget sends(HelloAnswerBudget::kDeliverySendLimits);
    Clock::time_point now = Clock::time_point{} + 1h;
    presence.Started(now);
    Drawn attack;
    Drawn probes;
    Drawn lines;
    const auto poll = [&] {
        for (const PeerPresence::Peer& peer : presence.Poll(now, sends).probes) {
            probes.datagrams += peer.address == victim ? 1 : 0;
            probes.bytes += peer.address == victim ? WireBytes(DeliveryNotice::Probe()) : 0;
        }
        for (const LineReceipts::Datagram& datagram : receipts.Poll(now, sends).datagrams) {
            lines.datagrams += datagram.address == victim ? 1 : 0;
            lines.bytes += datagram.address == victim ? WireBytes(datagram.notice) : 0;
        }
    };
    const auto runUntil = [&](Clock::time_point end) {
        for (auto due =
                 std::min(presence.NextDue().value_or(end), receipts.NextDue().value_or(end));
             due < end;
             due = std::min(presence.NextDue().value_or(end), receipts.NextDue().value_or(end))) {
            now = std::max(now, due);
            poll();
        }
        now = end;
    };
    for (int round = 0; round < rounds; ++round) {
        for (int name = 0; name < names; ++name) {
            presence.HeardFrom("F" + std::to_string(name), victim, true, now);
            ++attack.datagrams;
            attack.bytes += WireBytes(DeliveryNotice::Present());
            poll();
        }
        runUntil(now + 1s);
    }
    std::vector<LineReceipts::Host> expected;
    for (const PeerPresence::Peer& peer : presence.PresentPeers()) {
        expected.push_back({peer.name, peer.address});
    }
    const std::string line = std::string(609, 'x') + "\r\n";
    const auto key = receipts.ToEverybody(expected, line, now);
    runUntil(now + 120s);
    std::printf(
        "(%c) PRESENTs under %d names forged with another host's address as source, %s "
        "(%ld datagrams, %ld bytes): %zu names confirmed; to that "
        "address until 120 s after, %ld PROBEs (%ld bytes) and, for one 611-byte line to "
        "everybody (which waited for %zu hosts), %ld LINEs (%ld bytes)\n",
        rounds == 1 ? 'e' : 'f', names,
        (rounds == 1 ? std::string("once") : std::to_string(rounds) + " times a second apart")
            .c_str(),
        attack.datagrams, attack.bytes, expected.size(), probes.datagrams, probes.bytes,
        receipts.StatusOf(key).value().expected, lines.datagrams, lines.bytes);
}

} // namespace

int main(int argc, char** argv) {
    const bool isShort = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    const Durations durations = isShort ? Durations{1min, 1min, 2min} : Durations{3min, 10min, 1h};
    const auto began = std::chrono::steady_clock::now();
    std::printf("presence: %d simulated hosts, virtual clock steps of 10 to 50 ms%s\n", HOSTS,
                isShort ? " (short run)" : "");
    RunWithoutLoss(durations);
    RunWithLoss(durations);
    RunReflection(500, 1);
    RunReflection(200, 60);
    std::printf("counted in (a) to (d): hello, PRESENT, PROBE; not counted: the online answers to "
                "hellos (their own budget); bytes in (e), (f): IPv4 datagrams\n");
    std::printf("real time %.1f s\n", Seconds(std::chrono::steady_clock::now() - began));
    return 0;
}
