#include "platform/SingleInstanceLock.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrane {
namespace {

// A socket on the abstract name `name`, listening or connected; -1 on failure.
int AbstractSocket(const std::string& name, bool listening) {
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto* target = reinterpret_cast<const sockaddr*>(&address);
    const auto length = static_cast<socklen_t>(sizeof address.sun_family + 1 + name.size());
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    return (listening ? ::bind(socket, target, length) == 0 && ::listen(socket, 4) == 0
                      : ::connect(socket, target, length) == 0)
               ? socket
               : -1;
}

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

// A process of user 65534 that has run `act` ('y' when it succeeded) and lives, with what it
// holds, until this object goes.
struct OtherUser {
    explicit OtherUser(const std::function<bool()>& act) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        if ((child = fork()) == 0) {
            acted = setgid(65534) == 0 && setuid(65534) == 0 && act() ? 'y' : 'n';
            _exit(write(ready[1], &acted, 1) == 1 ? pause() : 1);
        }
        EXPECT_EQ(read(ready[0], &acted, 1), 1);
        close(ready[0]);
        close(ready[1]);
    }
    ~OtherUser() {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    pid_t child = -1;
    char acted = '?';
};

TEST(SingleInstanceLock, OneHolderPerUserIsCalledOnlyByItsUserAndNotInherited) {
    const std::string name = "KestraneTestLock." + std::to_string(getpid());
    const std::string ownName = name + "." + std::to_string(getuid());
    if (getuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    {
        SingleInstanceLock first(name);
        ASSERT_FALSE(first.AlreadyExists());
        EXPECT_NE(fcntl(first.Descriptor(), F_GETFD) & FD_CLOEXEC, 0);
        // Another user gets a lock of its own, and its call is taken but not answered; a
        // second copy of ours finds the lock held, and its check is the call, as is a call to
        // the holder that takes nothing.
        const OtherUser other([&] {
            return !SingleInstanceLock(name).AlreadyExists() && AbstractSocket(ownName, false) >= 0;
        });
        EXPECT_EQ(other.acted, 'y');
        EXPECT_FALSE(TookCall(first));
        EXPECT_TRUE(SingleInstanceLock(name).AlreadyExists());
        EXPECT_TRUE(CalledHolder(name));
        EXPECT_TRUE(TookCall(first));
        EXPECT_TRUE(TookCall(first));
        EXPECT_FALSE(TookCall(first));
    }
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyExists());
    EXPECT_FALSE(CalledHolder(name));
    // A name squatted by another user holds nobody back; the copy that starts anyway still
    // keeps a second one of ours out.
    const OtherUser squatter([&] { return AbstractSocket(ownName, true) >= 0; });
    ASSERT_EQ(squatter.acted, 'y');
    EXPECT_FALSE(CalledHolder(name));
    const SingleInstanceLock first(name);
    EXPECT_FALSE(first.AlreadyExists());
    EXPECT_GE(first.Descriptor(), 0);
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyExists());
    EXPECT_TRUE(CalledHolder(name));
}

} // namespace
} // namespace kestrane
