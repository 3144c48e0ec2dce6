#include "platform/AutoResetEvent.h"

#include <chrono>

namespace kestrane {

void AutoResetEvent::Set() {
    {
        std::lock_guard guard(mutex);
        isSet = true;
    }
    signalled.notify_one();
}

void AutoResetEvent::Wait() {
    std::unique_lock guard(mutex);
    signalled.wait(guard, [this] { return isSet; });
    isSet = false;
}

bool AutoResetEvent::WaitFor(int milliseconds) {
    std::unique_lock guard(mutex);
    if (!signalled.wait_for(guard, std::chrono::milliseconds(milliseconds),
                            [this] { return isSet; })) {
        return false;
    }
    isSet = false;
    return true;
}

} // namespace kestrane
