#pragma once

#include <condition_variable>
#include <mutex>

namespace kestrane {

/// An unnamed auto-reset event: Set() releases one Wait() and the event resets
/// itself; several Set() calls before a Wait() count as one.
/// Safe to call from any thread.
class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set();

    /// Blocks without a time limit until the event is set, then resets it.
    void Wait();

    /// Waits at most `milliseconds`; true when the event was set (and is now reset).
    bool WaitFor(int milliseconds);

private:
    std::mutex mutex;
    std::condition_variable signalled;
    bool isSet = false; // guarded by mutex
};

} // namespace kestrane
