#include "platform/AutoResetEvent.h"

#include <gtest/gtest.h>
#include <thread>

namespace kestrane {
namespace {

TEST(AutoResetEvent, ReleasesOneWaitPerSetAndResets) {
    AutoResetEvent event;
    // Sets before the waits, and whether each of two waits that follow is released.
    const std::tuple<int, bool, bool> rows[] = {
        {0, false, false}, {1, true, false}, {3, true, false}};
    for (const auto& [sets, first, second] : rows) {
        SCOPED_TRACE(sets);
        for (int set = 0; set < sets; ++set) {
            event.Set();
        }
        EXPECT_EQ(event.WaitFor(0), first);
        EXPECT_EQ(event.WaitFor(0), second);
    }
    // A waiter on another thread is released, and the event is reset behind it.
    std::thread waiter([&] { event.Wait(); });
    event.Set();
    waiter.join();
    EXPECT_FALSE(event.WaitFor(0));
}

} // namespace
} // namespace kestrane
