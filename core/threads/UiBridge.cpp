#include "core/threads/UiBridge.h"

#include <QSocketNotifier>
#include <QThread>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kestrane {

UiBridge::UiBridge(QObject* parent) : QObject(parent), state(std::make_shared<State>()) {
    state->wakeDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeDescriptor >= 0) {
        notifier = new QSocketNotifier(state->wakeDescriptor, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &UiBridge::RunQueue);
    }
}

UiBridge::~UiBridge() {
    Close();
    delete notifier;
    const std::lock_guard lock(state->mutex);
    if (state->wakeDescriptor >= 0) {
        close(state->wakeDescriptor);
        state->wakeDescriptor = -1;
    }
}

bool UiBridge::Call(const std::function<void()>& call) {
    if (QThread::currentThread() == thread()) {
        if (IsClosed()) {
            return false;
        }
        call();
        return true;
    }
    const std::shared_ptr<State> shared = state;
    auto pending = std::make_shared<Pending>();
    pending->call = &call;
    std::unique_lock lock(shared->mutex);
    if (shared->closed || shared->wakeDescriptor < 0) {
        return false;
    }
    shared->queue.push_back(pending);
    const std::uint64_t one = 1;
    // Under the lock, so the descriptor cannot be closed (and its number reused) meanwhile.
    [[maybe_unused]] const ssize_t written = write(shared->wakeDescriptor, &one, sizeof one);
    shared->changed.wait(lock,
                         [&] { return pending->done || (shared->closed && !pending->running); });
    if (!pending->done) {
        pending->abandoned = true;
        return false;
    }
    return true;
}

bool UiBridge::Post(std::function<void()> call) {
    if (QThread::currentThread() == thread()) {
        return Call(call);
    }
    {
        const std::lock_guard lock(state->mutex);
        if (state->closed || state->wakeDescriptor < 0) {
            return false;
        }
        if (state->queue.size() < kPostCeiling) {
            auto pending = std::make_shared<Pending>();
            pending->owned = std::move(call);
            pending->call = &pending->owned;
            // A queue that was not empty has its wake-up on the way already.
            if (state->queue.empty()) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t written =
                    write(state->wakeDescriptor, &one, sizeof one);
            }
            state->queue.push_back(std::move(pending));
            return true;
        }
    }
    // The bridge's thread is far behind: wait for it, which also waits for all queued before.
    return Call(call);
}

void UiBridge::RunQueue() {
    std::deque<std::shared_ptr<Pending>> batch;
    {
        const std::lock_guard lock(state->mutex);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(state->wakeDescriptor, &count, sizeof count);
        batch.swap(state->queue);
    }
    for (const std::shared_ptr<Pending>& pending : batch) {
        RunPending(*pending);
    }
}

void UiBridge::RunPending(Pending& pending) {
    {
        const std::lock_guard lock(state->mutex);
        if (state->closed || pending.abandoned) {
            return;
        }
        pending.running = true;
    }
    (*pending.call)();
    {
        const std::lock_guard lock(state->mutex);
        pending.running = false;
        pending.done = true;
    }
    state->changed.notify_all();
}

void UiBridge::Close() {
    {
        const std::lock_guard lock(state->mutex);
        state->closed = true;
        state->queue.clear();
    }
    state->changed.notify_all();
}

bool UiBridge::IsClosed() const {
    const std::lock_guard lock(state->mutex);
    return state->closed;
}

} // namespace kestrane
