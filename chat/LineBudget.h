#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace kestrane {

/// How many lines from the network, and how many of their bytes, the window is
/// given per second: two token buckets that a line must both pass. A flood of
/// lines would otherwise keep the UI thread laying out text for seconds after
/// it stops, with hellos answered only once that backlog is through, and grow
/// the log and the unread queue as fast as the network can fill them. The
/// defaults are far above what people on a LAN type, so only floods lose lines.
/// Used by one thread (the listener's dispatcher).
class LineBudget {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        double linesPerSecond;
        double lineBurst; // lines admitted at once after a quiet spell
        double bytesPerSecond;
        double byteBurst;
    };
    static constexpr Limits kDefaultLimits{.linesPerSecond = 100,
                                           .lineBurst = 200,
                                           .bytesPerSecond = 64 * 1024,
                                           .byteBurst = 256 * 1024};

    explicit LineBudget(Limits limits = kDefaultLimits,
                        std::function<Clock::time_point()> now = Clock::now);

    /// A budget that admits every line, for harnesses that measure the window.
    static LineBudget Unlimited();

    /// True when a line of `bytes` bytes may be shown now, and takes it from
    /// the budget; false when it is to be dropped (the budget is left as it is).
    bool Admit(std::size_t bytes);

private:
    void Refill();

    Limits limits;
    std::function<Clock::time_point()> now;
    Clock::time_point lastRefill;
    double lines;
    double bytes;
    bool unlimited = false;
};

} // namespace kestrane
