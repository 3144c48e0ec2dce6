#include <array>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs the probe with `name`; its stdin stays open until the returned pipe end closes.
struct Probe {
    pid_t pid = -1;
    int input = -1;  // write end of the probe's stdin
    int output = -1; // read end of the probe's stdout
};

Probe StartProbe(const std::string& name) {
    std::array<int, 2> in{};
    std::array<int, 2> out{};
    EXPECT_EQ(pipe(in.data()), 0);
    EXPECT_EQ(pipe(out.data()), 0);
    Probe probe;
    probe.pid = fork();
    if (probe.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execl(KESTRANE_SINGLE_INSTANCE_PROBE, KESTRANE_SINGLE_INSTANCE_PROBE, name.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    probe.input = in[1];
    probe.output = out[0];
    return probe;
}

std::string ReadAll(int descriptor) {
    std::string text;
    std::array<char, 64> buffer{};
    ssize_t count = 0;
    while ((count = read(descriptor, buffer.data(), buffer.size())) > 0) {
        text.append(buffer.data(), static_cast<std::size_t>(count));
        if (text.find('\n') != std::string::npos) {
            break;
        }
    }
    return text;
}

int Finish(Probe& probe) {
    close(probe.input);
    close(probe.output);
    int status = 0;
    waitpid(probe.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstanceTest, SecondCopyEndsWithStatusOneAndSaysNothing) {
    const std::string name = "KestraneTest." + std::to_string(getpid());
    Probe first = StartProbe(name);
    ASSERT_EQ(ReadAll(first.output), "holding\n");

    Probe second = StartProbe(name);
    EXPECT_EQ(ReadAll(second.output), "");
    EXPECT_EQ(Finish(second), 1);

    EXPECT_EQ(Finish(first), 0);
    // Once the first copy has ended, a new one may run.
    Probe third = StartProbe(name);
    EXPECT_EQ(ReadAll(third.output), "holding\n");
    EXPECT_EQ(Finish(third), 0);
}

} // namespace
