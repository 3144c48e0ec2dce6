#include "tests/platform/ChildProcess.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrane::test {

namespace {

constexpr int lineTimeoutMilliseconds = 10'000;

std::vector<char*> PointerList(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

void CloseOnce(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

// Appends what `descriptor` has to `text`; false at the end of input.
bool ReadSome(int descriptor, std::string& text) {
    std::array<char, 4096> buffer;
    ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
    if (count > 0) {
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return count > 0 || (count < 0 && errno == EINTR);
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    std::array<int, 2> in{}, out{}, err{};
    if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0 ||
        ::pipe2(err.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv = PointerList(arguments);
    std::vector<char*> envp = PointerList(environment);
    int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input = in[1];
    output = out[0];
    errors = err[0];
    if (failed != 0) {
        pid = -1;
        throw std::runtime_error("cannot start " + arguments[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (pid > 0) {
        Kill();
        Finish();
    }
    CloseOnce(input);
    CloseOnce(output);
    CloseOnce(errors);
}

std::string ChildProcess::ReadLine() {
    std::size_t end;
    while ((end = pendingOutput.find('\n')) == std::string::npos) {
        pollfd watched{output, POLLIN, 0};
        if (::poll(&watched, 1, lineTimeoutMilliseconds) != 1 || !ReadSome(output, pendingOutput)) {
            return {};
        }
    }
    std::string line = pendingOutput.substr(0, end);
    pendingOutput.erase(0, end + 1);
    return line;
}

void ChildProcess::Kill() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
    }
}

ChildProcess::Result ChildProcess::Finish() {
    Result result;
    if (pid <= 0) {
        return result;
    }
    CloseOnce(input);
    result.output = std::move(pendingOutput);
    std::array<pollfd, 2> watched{{{output, POLLIN, 0}, {errors, POLLIN, 0}}};
    while (watched[0].fd >= 0 || watched[1].fd >= 0) {
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) {
            break;
        }
        for (pollfd& watch : watched) {
            std::string& text = &watch == &watched[0] ? result.output : result.errors;
            if (watch.revents != 0 && !ReadSome(watch.fd, text)) {
                watch.fd = -1; // poll ignores negative descriptors
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> EnvironmentWithHome(const std::string& home) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        if (!text.starts_with("HOME=") && !text.starts_with("XDG_CONFIG_HOME=")) {
            environment.push_back(text);
        }
    }
    environment.push_back("HOME=" + home);
    return environment;
}

} // namespace kestrane::test
