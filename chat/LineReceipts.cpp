#include "chat/LineReceipts.h"

#include "chat/PeerName.h"
#include "platform/RandomHex.h"

#include <algorithm>
#include <random>
#include <utility>

namespace kestrane {

namespace {

bool Finished(LineReceipts::State state, bool inOutbox) {
    return state == LineReceipts::State::Delivered ||
           (state == LineReceipts::State::NotDelivered && !inOutbox);
}

} // namespace

LineReceipts::LineKey LineReceipts::ToOne(const Host& host, std::string line, Clock::time_point now,
                                          bool keep) {
    Tracked tracked;
    tracked.line = std::move(line);
    tracked.keep = keep;
    tracked.firstSend = true;
    tracked.targets.push_back({host});
    Arm(tracked, now);
    return Track(std::move(tracked));
}

LineReceipts::LineKey LineReceipts::Restore(const Host& host, std::string id, std::string line,
                                            Clock::time_point now) {
    Tracked tracked;
    tracked.id = std::move(id);
    tracked.line = std::move(line);
    tracked.targets.push_back({host});
    tracked.deadlinesPassed = 1; // in the run that sent it first
    Arm(tracked, now);
    return Track(std::move(tracked));
}

LineReceipts::LineKey LineReceipts::ToEverybody(std::vector<Host> expected, std::string line,
                                                Clock::time_point now) {
    Tracked tracked;
    tracked.line = std::move(line);
    tracked.toEverybody = true;
    for (Host& host : expected) {
        const bool listed =
            std::any_of(tracked.targets.begin(), tracked.targets.end(), [&](const Target& target) {
                return IsSamePeerName(target.host.name, host.name);
            });
        if (!listed && tracked.targets.size() < kMostExpected) {
            tracked.targets.push_back({std::move(host)});
        }
    }
    if (tracked.targets.empty()) {
        tracked.state = State::Delivered;
    }
    // The broadcast was the first send: the unicast copies wait their turn.
    tracked.started = true;
    tracked.deadline = now + kDeadline;
    tracked.wait = kFirstWait;
    tracked.nextSend = now + kFirstWait;
    return Track(std::move(tracked));
}

std::string LineReceipts::IdOf(LineKey key) const {
    const auto found = lines.find(key);
    return found == lines.end() ? std::string() : found->second.id;
}

std::optional<LineReceipts::LineKey> LineReceipts::OnAck(std::string_view name,
                                                         std::string_view address,
                                                         std::string_view id, Clock::time_point) {
    const auto known = byId.find(id);
    const auto found = known == byId.end() ? lines.end() : lines.find(known->second);
    if (found == lines.end()) {
        return std::nullopt;
    }
    Tracked* tracked = &found->second;
    const auto target = std::find_if(
        tracked->targets.begin(), tracked->targets.end(), [&](const Target& candidate) {
            return IsSamePeerName(candidate.host.name, name) && candidate.host.address == address;
        });
    if (target == tracked->targets.end() || target->acknowledged) {
        return std::nullopt;
    }
    target->acknowledged = true;
    const bool all = std::all_of(tracked->targets.begin(), tracked->targets.end(),
                                 [](const Target& each) { return each.acknowledged; });
    if (all) {
        tracked->state = State::Delivered;
        tracked->late = tracked->deadlinesPassed > 0;
        tracked->inOutbox = false;
    }
    return found->first;
}

LineReceipts::Due LineReceipts::Poll(Clock::time_point now, HelloAnswerBudget& sends) {
    Due due;
    for (auto& [key, tracked] : lines) {
        if (tracked.state != State::Pending) {
            continue;
        }
        if (tracked.started && now >= tracked.deadline) {
            PassDeadline(tracked);
            due.changed.push_back(key);
        } else if (now >= tracked.nextSend) {
            SendDue(tracked, now, sends, due.datagrams);
        }
    }
    ForgetBeyond(kMostLines, kMostInOutbox);
    return due;
}

std::optional<LineReceipts::Clock::time_point> LineReceipts::NextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& [key, tracked] : lines) {
        if (tracked.state != State::Pending) {
            continue;
        }
        const Clock::time_point due =
            tracked.started ? std::min(tracked.nextSend, tracked.deadline) : tracked.nextSend;
        next = next ? std::min(*next, due) : due;
    }
    return next;
}

void LineReceipts::HostHeard(std::string_view name, std::string_view address,
                             Clock::time_point now) {
    for (auto& [key, tracked] : lines) {
        // Lines not yet delivered follow the host, so that a retry finds it too.
        if (tracked.state == State::Delivered) {
            continue;
        }
        bool heard = false;
        for (Target& target : tracked.targets) {
            if (!target.acknowledged && IsSamePeerName(target.host.name, name)) {
                target.host.address = address;
                heard = true;
            }
        }
        if (heard && tracked.inOutbox) {
            Arm(tracked, now);
        }
    }
}

bool LineReceipts::Retry(LineKey key, Clock::time_point now) {
    const auto found = lines.find(key);
    if (found == lines.end() || found->second.state != State::NotDelivered) {
        return false;
    }
    Arm(found->second, now);
    found->second.firstSend = !found->second.toEverybody;
    return true;
}

std::optional<LineReceipts::Status> LineReceipts::StatusOf(LineKey key) const {
    const auto found = lines.find(key);
    if (found == lines.end()) {
        return std::nullopt;
    }
    const Tracked& tracked = found->second;
    Status status;
    status.state = tracked.state;
    status.toEverybody = tracked.toEverybody;
    status.late = tracked.late;
    status.inOutbox = tracked.inOutbox;
    status.deadlinesPassed = tracked.deadlinesPassed;
    status.expected = tracked.targets.size();
    for (const Target& target : tracked.targets) {
        if (target.acknowledged) {
            ++status.delivered;
        } else {
            status.missing.push_back(target.host.name);
        }
    }
    return status;
}

std::size_t LineReceipts::InOutbox() const {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [](const auto& entry) { return entry.second.inOutbox; }));
}

LineReceipts::LineKey LineReceipts::Track(Tracked tracked) {
    const LineKey key = nextKey++;
    if (tracked.id.empty()) {
        tracked.id = NewId();
    }
    // A line restored twice under one id: receipts go to the later one.
    byId.insert_or_assign(tracked.id, key);
    lines.emplace(key, std::move(tracked));
    ForgetBeyond(kMostLines, kMostInOutbox);
    return key;
}

/// Starts a new attempt: the line goes to every host still missing on the next Poll.
void LineReceipts::Arm(Tracked& tracked, Clock::time_point now) {
    tracked.state = State::Pending;
    tracked.inOutbox = false;
    tracked.started = false;
    tracked.nextSend = now;
}

void LineReceipts::SendDue(Tracked& tracked, Clock::time_point now, HelloAnswerBudget& sends,
                           std::vector<Datagram>& out) {
    // A line a person just sent (or sent again) goes at least once, whatever the budget.
    const bool free = std::exchange(tracked.firstSend, false);
    // The wait grows after each send, so past the first it marks the third.
    const bool unanswered = tracked.started && tracked.wait > kFirstWait;
    for (const Target& target : tracked.targets) {
        if (!target.acknowledged && (free || sends.Admit(target.host.address, now))) {
            out.push_back({target.host.address,
                           DeliveryNotice::Line(tracked.id, tracked.toEverybody, tracked.line),
                           target.host.name, unanswered});
        }
    }
    if (tracked.started) {
        tracked.wait = std::min<Clock::duration>(tracked.wait * 3 / 2, kLongestWait);
    } else {
        tracked.started = true;
        tracked.deadline = now + kDeadline;
        tracked.wait = kFirstWait;
    }
    tracked.nextSend = now + tracked.wait;
}

void LineReceipts::PassDeadline(Tracked& tracked) {
    tracked.state = State::NotDelivered;
    ++tracked.deadlinesPassed;
    // Everybody had the broadcast: a host that missed it is not worth an outbox.
    tracked.inOutbox = tracked.keep && !tracked.toEverybody;
    tracked.started = false;
}

void LineReceipts::ForgetBeyond(std::size_t mostLines, std::size_t mostInOutbox) {
    while (lines.size() > mostLines) {
        auto victim = std::find_if(lines.begin(), lines.end(), [](const auto& entry) {
            return Finished(entry.second.state, entry.second.inOutbox);
        });
        if (victim == lines.end()) {
            victim = std::find_if(lines.begin(), lines.end(),
                                  [](const auto& entry) { return entry.second.inOutbox; });
        }
        Forget(victim == lines.end() ? lines.begin() : victim);
    }
    for (std::size_t inOutbox = InOutbox(); inOutbox > mostInOutbox; --inOutbox) {
        Forget(std::find_if(lines.begin(), lines.end(),
                            [](const auto& entry) { return entry.second.inOutbox; }));
    }
}

void LineReceipts::Forget(Table::iterator line) {
    if (const auto known = byId.find(line->second.id);
        known != byId.end() && known->second == line->first) {
        byId.erase(known);
    }
    lines.erase(line);
}

/// Drawn again in the unlikely case that a tracked line has it already.
std::string LineReceipts::NewId() const {
    std::string id;
    do {
        std::optional<std::string> random = RandomHex(kIdLength / 2);
        if (!random) {
            // A kernel without getrandom: the library's device reads the same source.
            std::random_device device;
            random = std::to_string(device()) + std::to_string(device());
            random->resize(kIdLength, '0');
        }
        id = std::move(*random);
    } while (byId.contains(id));
    return id;
}

} // namespace kestrane
