#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

namespace kestrane {

/// How many hellos are answered per second: a token bucket per source address,
/// and one more over all of them. Every copy on the LAN answers a hello by
/// broadcast, so one answer reaches everybody: without the overall bucket a
/// host sending hellos from ever new (or forged) addresses would get a fresh
/// burst for each and make all copies broadcast as fast as it sends. The
/// per-address bucket keeps one busy host from using up the overall budget
/// alone. The table keeps the most recently heard addresses only; one that
/// drops out has been quiet longer than the others, and comes back with a full
/// bucket, so a storm of forged addresses cannot grow it.
///
/// The same budget, with other limits, bounds what receipts and presence send
/// by unicast (answers to PROBE, PROBEs, retransmissions): there the address is
/// the one sent to. Used by one thread (the listener's dispatcher, or the UI
/// thread).
class HelloAnswerBudget {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        double answersPerSecond; // from one address
        double answerBurst;      // from one address, at once after a quiet spell
        double allAnswersPerSecond;
        double allAnswerBurst;
        std::size_t mostSources; // addresses the table holds
    };
    static constexpr Limits kDefaultLimits{.answersPerSecond = 5,
                                           .answerBurst = 10,
                                           .allAnswersPerSecond = 5,
                                           .allAnswerBurst = 10,
                                           .mostSources = 4096};
    /// Answers to PROBE: one answer by unicast to whichever address a probe
    /// claims to come from, so a forged flood cannot make a copy a reflector.
    static constexpr Limits kProbeAnswerLimits{.answersPerSecond = 1,
                                               .answerBurst = 3,
                                               .allAnswersPerSecond = 10,
                                               .allAnswerBurst = 20,
                                               .mostSources = 1024};
    /// Everything else that receipts and presence send by unicast without a
    /// person asking: PROBEs and retransmissions of lines, by the address sent to.
    static constexpr Limits kDeliverySendLimits{.answersPerSecond = 5,
                                                .answerBurst = 10,
                                                .allAnswersPerSecond = 20,
                                                .allAnswerBurst = 40,
                                                .mostSources = 1024};

    explicit HelloAnswerBudget(Limits limits = kDefaultLimits,
                               std::function<Clock::time_point()> now = Clock::now);

    /// True when a hello from `address` may be answered now, and takes the
    /// answer from that address's budget and from the overall one. A hello
    /// refused by either takes nothing from the other.
    bool Admit(const std::string& address);
    /// The same at `current`, for a caller that keeps its own clock.
    bool Admit(const std::string& address, Clock::time_point current);
    /// Addresses in the table.
    std::size_t Sources() const { return sources.size(); }

private:
    struct Bucket {
        std::optional<Clock::time_point> lastRefill; // nothing until first used
        double answers;
        void Refill(Clock::time_point current, double perSecond, double burst);
    };
    struct Source {
        std::string address;
        Bucket bucket;
    };
    Source& Find(const std::string& address, Clock::time_point current);

    Limits limits;
    std::function<Clock::time_point()> now;
    Bucket everyone;
    std::list<Source> sources; // the most recently heard first
    std::unordered_map<std::string, std::list<Source>::iterator> byAddress;
};

} // namespace kestrane
