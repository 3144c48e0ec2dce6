#include "platform/AutoResetEvent.h"

#include <gtest/gtest.h>
#include <thread>

namespace kestrane {
namespace {

TEST(AutoResetEvent, ReleasesOneWaitPerSetAndResets) {
    AutoResetEvent event;
    // Sets before two waits: the first is released after any, the second never.
    const std::pair<int, bool> rows[] = {{0, false}, {1, true}, {3, true}};
    for (const auto& [sets, released] : rows) {
        SCOPED_TRACE(sets);
        for (int set = 0; set < sets; ++set) {
            event.Set();
        }
        EXPECT_EQ(event.WaitFor(0), released);
        EXPECT_FALSE(event.WaitFor(0));
    }
    // A waiter on another thread is released, and the event is reset behind it.
    std::thread waiter([&] { event.Wait(); });
    event.Set();
    waiter.join();
    EXPECT_FALSE(event.WaitFor(0));
}

} // namespace
} // namespace kestrane
