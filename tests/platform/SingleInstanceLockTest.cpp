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
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyExists());
    first.Close();
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyExists());
}

} // namespace
} // namespace kestrane
