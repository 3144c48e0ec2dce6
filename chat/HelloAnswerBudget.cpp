#include "chat/HelloAnswerBudget.h"

#include <algorithm>
#include <utility>

namespace kestrane {

HelloAnswerBudget::HelloAnswerBudget(Limits budgetLimits, std::function<Clock::time_point()> clock)
    : limits(budgetLimits), now(std::move(clock)) {}

bool HelloAnswerBudget::Admit(const std::string& address) {
    const Clock::time_point current = now();
    Source& source = Find(address, current);
    const std::chrono::duration<double> elapsed = current - source.lastRefill;
    if (elapsed.count() > 0) { // a clock that stands still or steps back adds nothing
        source.lastRefill = current;
        source.answers = std::min(limits.answerBurst,
                                  source.answers + elapsed.count() * limits.answersPerSecond);
    }
    if (source.answers < 1) {
        return false;
    }
    source.answers -= 1;
    return true;
}

HelloAnswerBudget::Source& HelloAnswerBudget::Find(const std::string& address,
                                                   Clock::time_point current) {
    if (const auto found = byAddress.find(address); found != byAddress.end()) {
        sources.splice(sources.begin(), sources, found->second);
        return sources.front();
    }
    if (sources.size() >= limits.mostSources && !sources.empty()) {
        byAddress.erase(sources.back().address);
        sources.pop_back();
    }
    sources.push_front({address, current, limits.answerBurst});
    byAddress.emplace(address, sources.begin());
    return sources.front();
}

} // namespace kestrane
