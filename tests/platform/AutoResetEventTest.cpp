#include "platform/AutoResetEvent.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace kestrane {
namespace {

TEST(AutoResetEvent, SeveralSetsBeforeAWaitCountAsOne) {
    AutoResetEvent event;
    event.Set();
    event.Set();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_FALSE(event.WaitFor(10));
}

TEST(AutoResetEvent, SetOnAnotherThreadReleasesAWaiter) {
    AutoResetEvent event;
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        event.Wait();
        released = true;
    });
    event.Set();
    waiter.join();
    EXPECT_TRUE(released);
    EXPECT_FALSE(event.WaitFor(0));
}

} // namespace
} // namespace kestrane
