#pragma once

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrane::test {

/// The user id tests act as when they play another user of the machine.
constexpr uid_t kOtherUser = 65534;

/// A child process that holds nothing of the test's (as a started program
/// would), runs `act` as user `uid` unless that is the test's own ('y' in
/// `acted` when it succeeded), and lives with what it holds until this object
/// goes or Kill is called.
struct ChildProcess {
    explicit ChildProcess(const std::function<bool()>& act, uid_t uid = getuid()) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        if ((child = fork()) == 0) {
            close_range(3, static_cast<unsigned>(ready[1]) - 1, 0);
            close_range(static_cast<unsigned>(ready[1]) + 1, ~0U, 0);
            const bool became = uid == getuid() || (setgid(uid) == 0 && setuid(uid) == 0);
            acted = became && act() ? 'y' : 'n';
            _exit(write(ready[1], &acted, 1) == 1 ? pause() : 1);
        }
        EXPECT_EQ(read(ready[0], &acted, 1), 1);
        close(ready[0]);
        close(ready[1]);
    }
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    void Kill() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            child = -1;
        }
    }
    pid_t child = -1;
    char acted = '?';
};

} // namespace kestrane::test
