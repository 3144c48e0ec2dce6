#include "platform/SingleInstanceLock.h"

#include "tests/platform/ChildProcess.h"

#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace kestrane {
namespace {

// Names of our own per test process, so parallel test runs never meet.
std::string LockName(const std::string& suffix) {
    return "KestraneTestLock." + std::to_string(::getpid()) + "." + suffix;
}

std::unique_ptr<test::ChildProcess> StartHolder(const std::string& name) {
    return std::make_unique<test::ChildProcess>(
        std::vector<std::string>{KESTRANE_PLATFORM_PROBE, "lock", name},
        test::EnvironmentWithHome(::testing::TempDir()));
}

TEST(SingleInstanceLock, IsHeldUntilClosedOrDestroyed) {
    const std::string name = LockName("local");
    auto first = std::make_unique<SingleInstanceLock>(name);
    EXPECT_FALSE(first->AlreadyExists());
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyExists());

    first->Close();
    first->Close();
    auto second = std::make_unique<SingleInstanceLock>(name);
    EXPECT_FALSE(second->AlreadyExists());
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyExists());

    second.reset();
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyExists());
}

TEST(SingleInstanceLock, DistinctNamesDoNotCollide) {
    SingleInstanceLock one(LockName("one"));
    SingleInstanceLock other(LockName("other"));
    SingleInstanceLock prefix(LockName("on"));
    EXPECT_FALSE(one.AlreadyExists());
    EXPECT_FALSE(other.AlreadyExists());
    EXPECT_FALSE(prefix.AlreadyExists());
}

TEST(SingleInstanceLock, AnotherProcessSeesItAndDoesNotInheritIt) {
    const std::string name = LockName("shared");
    auto ours = std::make_unique<SingleInstanceLock>(name);
    auto holder = StartHolder(name);
    EXPECT_EQ(holder->ReadLine(), "exists");

    // The child still runs: had it inherited our socket, the name would stay taken.
    ours->Close();
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyExists());
    EXPECT_EQ(holder->Finish().status, 0);
}

TEST(SingleInstanceLock, DeathOfTheHolderFreesIt) {
    const std::string name = LockName("killed");
    auto holder = StartHolder(name);
    ASSERT_EQ(holder->ReadLine(), "held");
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyExists());

    holder->Kill();
    EXPECT_EQ(holder->Finish().status, 128 + SIGKILL);
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyExists());
}

} // namespace
} // namespace kestrane
