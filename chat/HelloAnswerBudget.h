#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>

namespace kestrane {

/// How many hellos from one source address are answered per second: a token
/// bucket per address. Every copy on the LAN answers a hello by broadcast, so
/// without it one host could make all of them broadcast as fast as it sends
/// hellos. The table keeps the most recently heard addresses only; one that
/// drops out has been quiet longer than the others, and comes back with a full
/// bucket, so a storm of forged addresses cannot grow it. Used by one thread
/// (the listener's dispatcher).
class HelloAnswerBudget {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        double answersPerSecond;
        double answerBurst;      // answers at once after a quiet spell
        std::size_t mostSources; // addresses the table holds
    };
    static constexpr Limits kDefaultLimits{
        .answersPerSecond = 5, .answerBurst = 10, .mostSources = 4096};

    explicit HelloAnswerBudget(Limits limits = kDefaultLimits,
                               std::function<Clock::time_point()> now = Clock::now);

    /// True when a hello from `address` may be answered now, and takes the
    /// answer from that address's budget.
    bool Admit(const std::string& address);
    /// Addresses in the table.
    std::size_t Sources() const { return sources.size(); }

private:
    struct Source {
        std::string address;
        Clock::time_point lastRefill;
        double answers;
    };
    Source& Find(const std::string& address, Clock::time_point current);

    Limits limits;
    std::function<Clock::time_point()> now;
    std::list<Source> sources; // the most recently heard first
    std::unordered_map<std::string, std::list<Source>::iterator> byAddress;
};

} // namespace kestrane
