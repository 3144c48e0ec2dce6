#pragma once

#include <QObject>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QSocketNotifier;

namespace kestrane {

/// Runs a callable on the thread the bridge lives on (for the window's bridge,
/// the UI thread) for another thread, either making that thread wait for it,
/// as a synchronous window message would (Call), or in order behind what is
/// queued without waiting (Post). Once closed (the window's bridge when the
/// main window is destroyed) nothing more runs and a call returns false at
/// once, so a thread that the bridge's thread is waiting for can never
/// deadlock against it.
///
/// Waiting calls sit in a list of the bridge's own; an eventfd wakes the
/// bridge's thread, so nothing but the wake-up passes through Qt's event queue
/// (and ThreadSanitizer sees every hand-off). Lives on the thread that makes
/// it, or on the one it is moved to (QObject::moveToThread) before any call;
/// that thread runs an event loop and destroys it.
class UiBridge : public QObject {
public:
    explicit UiBridge(QObject* parent = nullptr);
    ~UiBridge() override;
    UiBridge(const UiBridge&) = delete;
    UiBridge& operator=(const UiBridge&) = delete;

    /// Runs `call` on the bridge's thread and returns true once it has run;
    /// false, without running it, when the bridge is or becomes closed first.
    /// On the bridge's thread itself it runs `call` at once. Safe to call from
    /// any thread.
    bool Call(const std::function<void()>& call);

    /// How many calls may wait in the queue before Post waits like Call.
    static constexpr std::size_t kPostCeiling = 1024;

    /// Queues `call` to run on the bridge's thread after everything queued
    /// before it and returns true without waiting, so a thread with much to
    /// hand over wakes the bridge's thread once for a batch rather than twice
    /// for each call. With kPostCeiling calls already queued it waits like
    /// Call, which bounds the queue. False, without running, when the bridge
    /// is closed; a queued call that has not run when the bridge closes never
    /// runs. On the bridge's thread itself it runs `call` at once. Safe to
    /// call from any thread.
    bool Post(std::function<void()> call);

    /// Refuses every later call and releases every waiting one whose callable
    /// has not started. Safe to call from any thread; calling again does nothing.
    void Close();
    bool IsClosed() const;

private:
    struct Pending {
        const std::function<void()>* call; // the caller's while it waits, or `owned`
        std::function<void()> owned;       // a posted call, which nobody waits for
        bool running = false;              // guarded by State::mutex
        bool done = false;                 // guarded by State::mutex
        bool abandoned = false;            // guarded by State::mutex
    };
    // Shared with every waiting caller, so a caller may still wake after the
    // bridge itself is gone.
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool closed = false;                        // guarded by mutex
        int wakeDescriptor = -1;                    // guarded by mutex; closed with the bridge
        std::deque<std::shared_ptr<Pending>> queue; // guarded by mutex
    };

    void RunQueue();
    void RunPending(Pending& pending);

    std::shared_ptr<State> state;
    QSocketNotifier* notifier = nullptr;
};

} // namespace kestrane
