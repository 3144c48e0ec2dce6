#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QSocketNotifier;

namespace kestrane {

/// Runs a callable on the UI thread for another thread and makes that thread
/// wait for it, as a synchronous window message would. Once closed (when the
/// main window is destroyed) a call returns false at once without running, so
/// a thread that the UI thread is waiting for can never deadlock against it.
///
/// Waiting calls sit in a list of the bridge's own; an eventfd wakes the UI
/// thread, so nothing but the wake-up passes through Qt's event queue.
/// Lives on the thread that makes it, which must be the UI thread.
class UiBridge : public QObject {
public:
    explicit UiBridge(QObject* parent = nullptr);
    ~UiBridge() override;
    UiBridge(const UiBridge&) = delete;
    UiBridge& operator=(const UiBridge&) = delete;

    /// Runs `call` on the UI thread and returns true once it has run; false,
    /// without running it, when the bridge is or becomes closed first. On the
    /// UI thread itself it runs `call` at once. Safe to call from any thread.
    bool Call(const std::function<void()>& call);

    /// Refuses every later call and releases every waiting one whose callable
    /// has not started. Safe to call from any thread; calling again does nothing.
    void Close();
    bool IsClosed() const;

private:
    struct Pending {
        const std::function<void()>* call; // the caller's; used only while it waits
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
