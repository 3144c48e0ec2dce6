#include "core/threads/BoundedLookup.h"

#include <QTimer>
#include <thread>
#include <utility>

namespace kestrane {

BoundedLookup::BoundedLookup(QObject* parent) : QObject(parent), owner(std::make_shared<Owner>()) {
    owner->lookup = this;
}

BoundedLookup::~BoundedLookup() {
    // Closed before the lock is taken: a lookup thread that waits in Post (a
    // full queue) while holding the lock is let go, and answers already
    // posted are dropped.
    bridge.Close();
    std::lock_guard guard(owner->lock);
    owner->lookup = nullptr;
}

void BoundedLookup::Start(Lookup lookup, std::chrono::milliseconds limit, Answer answer) {
    const int request = nextRequest++;
    answers.emplace(request, std::move(answer));
    QTimer::singleShot(limit, this, [this, request] { Finish(request, std::nullopt); });
    // Detached: getaddrinfo cannot be interrupted, and a program ending on a
    // signal must not wait for a name server that does not answer.
    std::thread([shared = owner, lookup = std::move(lookup), request] {
        std::optional<std::string> found = lookup();
        std::lock_guard guard(shared->lock);
        if (BoundedLookup* target = shared->lookup) {
            target->bridge.Post([target, request, found] { target->Finish(request, found); });
        }
    }).detach();
}

void BoundedLookup::Finish(int request, std::optional<std::string> answer) {
    const auto waiting = answers.find(request);
    if (waiting == answers.end()) {
        return; // answered already, by the lookup or by the time limit
    }
    Answer call = std::move(waiting->second);
    answers.erase(waiting);
    call(std::move(answer));
}

} // namespace kestrane
