#include "chat/LineBudget.h"

#include <algorithm>
#include <utility>

namespace kestrane {

LineBudget::LineBudget(Limits budgetLimits, std::function<Clock::time_point()> clock)
    : limits(budgetLimits), now(std::move(clock)), lastRefill(now()), lines(limits.lineBurst),
      bytes(limits.byteBurst) {}

LineBudget LineBudget::Unlimited() {
    LineBudget budget;
    budget.unlimited = true;
    return budget;
}

bool LineBudget::Admit(std::size_t lineBytes) {
    if (unlimited) {
        return true;
    }
    Refill();
    const auto cost = static_cast<double>(lineBytes);
    if (lines < 1 || bytes < cost) {
        return false;
    }
    lines -= 1;
    bytes -= cost;
    return true;
}

void LineBudget::Refill() {
    const Clock::time_point current = now();
    const std::chrono::duration<double> elapsed = current - lastRefill;
    if (elapsed.count() <= 0) {
        return; // a clock that stands still or steps back adds nothing
    }
    lastRefill = current;
    lines = std::min(limits.lineBurst, lines + elapsed.count() * limits.linesPerSecond);
    bytes = std::min(limits.byteBurst, bytes + elapsed.count() * limits.bytesPerSecond);
}

} // namespace kestrane
