#include "platform/SingleInstanceLock.h"

#include "tests/support/ChildProcess.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrane::test {
namespace {

// Whether `lock` had a call waiting; the call is hung up.
bool TookCall(SingleInstanceLock& lock) {
    const int call = lock.AcceptCall();
    return call >= 0 && close(call) == 0;
}

// Whether `name`'s holder was reached, over a blocking socket that a program started from
// here would not inherit.
bool CalledHolder(const std::string& name) {
    const int call = SingleInstanceLock::CallHolder(name);
    const bool reached = call >= 0 && (fcntl(call, F_GETFL) & O_NONBLOCK) == 0 &&
                         (fcntl(call, F_GETFD) & FD_CLOEXEC) != 0;
    return (call < 0 || close(call) == 0) && reached;
}

// The address a lock's holder takes calls on.
struct Address {
    explicit Address(int socket) {
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    }
    // Whether a stream socket can connect to it, or (`bind`) take it.
    bool Reached(bool bind = false) const {
        const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto* target = reinterpret_cast<const sockaddr*>(&address);
        const bool reached = bind ? ::bind(socket, target, length) == 0 && listen(socket, 1) == 0
                                  : ::connect(socket, target, length) == 0;
        return bind ? reached : close(socket) == 0 && reached;
    }
    sockaddr_un address{};
    socklen_t length = sizeof address;
};

// The lock's files in a runtime folder of the test's own, put back after.
struct RuntimeFolder {
    RuntimeFolder() {
        const char* was = std::getenv("XDG_RUNTIME_DIR");
        before = was != nullptr ? std::optional<std::string>(was) : std::nullopt;
        char pattern[] = "/tmp/kestrane-lock-test-XXXXXX";
        path = mkdtemp(pattern);
        setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~RuntimeFolder() {
        before ? setenv("XDG_RUNTIME_DIR", before->c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(path);
    }
    std::optional<std::string> before;
    std::string path;
};

const std::string kName = "KestraneTestLock";

TEST(SingleInstanceLock, OneHolderIsCalledByItsUserAloneAndOutlivesNothing) {
    const RuntimeFolder folder;
    pid_t started = -1;
    {
        SingleInstanceLock first(kName);
        ASSERT_FALSE(first.AlreadyExists());
        ASSERT_GE(first.Descriptor(), 0);
        // A program started from the holder keeps nothing of the lock.
        char sleep[] = "sleep", forever[] = "30", *arguments[] = {sleep, forever, nullptr};
        ASSERT_EQ(posix_spawnp(&started, "sleep", nullptr, nullptr, arguments, environ), 0);
        // A second copy finds it held, and its check is the call.
        EXPECT_TRUE(SingleInstanceLock(kName).AlreadyExists());
        EXPECT_TRUE(TookCall(first));
        EXPECT_TRUE(CalledHolder(kName));
        EXPECT_TRUE(TookCall(first));
        EXPECT_FALSE(TookCall(first));
        // Another lock name is another lock.
        EXPECT_FALSE(SingleInstanceLock(kName + "2").AlreadyExists());
    }
    EXPECT_FALSE(CalledHolder(kName));
    EXPECT_FALSE(SingleInstanceLock(kName).AlreadyExists());
    kill(started, SIGKILL);
    waitpid(started, nullptr, 0);
    // A holder killed outright frees the lock, and the socket it left answers nobody.
    ChildProcess killed([] {
        static SingleInstanceLock held(kName);
        return !held.AlreadyExists() && held.Descriptor() >= 0;
    });
    ASSERT_EQ(killed.acted, 'y');
    EXPECT_TRUE(SingleInstanceLock(kName).AlreadyExists());
    killed.Kill();
    EXPECT_FALSE(CalledHolder(kName));
    const SingleInstanceLock next(kName);
    EXPECT_FALSE(next.AlreadyExists());
    EXPECT_TRUE(CalledHolder(kName));
}

TEST(SingleInstanceLock, AnotherUserCanNeitherCallNorSplitIt) {
    if (getuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    const RuntimeFolder folder;
    SingleInstanceLock first(kName);
    ASSERT_FALSE(first.AlreadyExists());
    const Address held(first.Descriptor());
    // No call of another user's can wait in the holder's backlog.
    const ChildProcess caller([&] { return !held.Reached(); }, kOtherUser);
    EXPECT_EQ(caller.acted, 'y');
    EXPECT_FALSE(TookCall(first));
    first.Close();
    // Another user that takes what it can of the lock while ours starts, then lets go,
    // does not let a later start of ours run beside the one that started.
    ChildProcess squatter([&] { return held.Reached(true) || true; }, kOtherUser);
    const SingleInstanceLock second(kName);
    EXPECT_FALSE(second.AlreadyExists());
    squatter.Kill();
    EXPECT_TRUE(SingleInstanceLock(kName).AlreadyExists());
    EXPECT_TRUE(CalledHolder(kName));
}

TEST(SingleInstanceLock, AFolderOthersCanEnterIsNotUsed) {
    const RuntimeFolder folder;
    ASSERT_EQ(chmod(folder.path.c_str(), 0777), 0);
    std::string problem;
    EXPECT_NE(SingleInstanceLock::RuntimeFolder(problem), folder.path);
    // Without a session's folder the lock lives in a folder of this user's in /tmp.
    unsetenv("XDG_RUNTIME_DIR");
    const std::string own = SingleInstanceLock::RuntimeFolder(problem);
    struct stat status {};
    ASSERT_EQ(lstat(own.c_str(), &status), 0) << problem;
    EXPECT_EQ(status.st_uid, getuid());
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST(SingleInstanceLock, EachNetworkNamespaceIsAHostOfItsOwn) {
    if (getuid() != 0) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    const RuntimeFolder folder;
    const SingleInstanceLock here(kName);
    ASSERT_FALSE(here.AlreadyExists());
    const ChildProcess elsewhere(
        [] { return unshare(CLONE_NEWNET) == 0 && !SingleInstanceLock(kName).AlreadyExists(); });
    EXPECT_EQ(elsewhere.acted, 'y');
}

} // namespace
} // namespace kestrane::test
