#include "chat/HelloAnswerBudget.h"

#include <algorithm>
#include <utility>

namespace kestrane {

HelloAnswerBudget::HelloAnswerBudget(Limits budgetLimits, std::function<Clock::time_point()> clock)
    : limits(budgetLimits), now(std::move(clock)), everyone{std::nullopt, limits.allAnswerBurst} {}

void HelloAnswerBudget::Bucket::Refill(Clock::time_point current, double perSecond, double burst) {
    const std::chrono::duration<double> elapsed = current - lastRefill.value_or(current);
    if (!lastRefill ||
        elapsed.count() > 0) { // a clock that stands still or steps back adds nothing
        lastRefill = current;
        answers = std::min(burst, answers + elapsed.count() * perSecond);
    }
}

bool HelloAnswerBudget::Admit(const std::string& address) {
    return Admit(address, now());
}

bool HelloAnswerBudget::Admit(const std::string& address, Clock::time_point current) {
    Bucket& source = Find(address, current).bucket;
    source.Refill(current, limits.answersPerSecond, limits.answerBurst);
    everyone.Refill(current, limits.allAnswersPerSecond, limits.allAnswerBurst);
    if (source.answers < 1 || everyone.answers < 1) {
        return false;
    }
    source.answers -= 1;
    everyone.answers -= 1;
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
    sources.push_front({address, {current, limits.answerBurst}});
    byAddress.emplace(address, sources.begin());
    return sources.front();
}

} // namespace kestrane
