#include "platform/SingleInstanceLock.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace kestrane {
namespace {

TEST(SingleInstanceLock, ASecondHolderFindsTheNameTakenUntilTheFirstCloses) {
    const std::string name = "KestraneTestLock." + std::to_string(getpid());
    SingleInstanceLock first(name);
    EXPECT_FALSE(first.AlreadyExists());
    SingleInstanceLock second(name);
    EXPECT_TRUE(second.AlreadyExists());
    // The second copy's call reaches the holder once, and never blocks it.
    EXPECT_FALSE(first.TakeCall());
    EXPECT_TRUE(second.CallHolder());
    EXPECT_TRUE(first.TakeCall());
    EXPECT_FALSE(first.TakeCall());
    first.Close();
    EXPECT_FALSE(second.CallHolder());
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyExists());
}

} // namespace
} // namespace kestrane
