#include "tests/app/PrivateBus.h"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrane::test {
namespace {

// The first line of `descriptor`, without its line end.
std::string ReadLine(int descriptor) {
    std::string line;
    char character = 0;
    while (read(descriptor, &character, 1) == 1 && character != '\n') {
        line += character;
    }
    return line;
}

} // namespace

PrivateBus::PrivateBus() {
    std::array<int, 2> output{};
    if (pipe2(output.data(), O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::array<char*, 5> argv{const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                              const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"),
                              nullptr};
    if (posix_spawnp(&daemon, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        daemon = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (daemon > 0) {
        address = QString::fromStdString(ReadLine(output[0]));
    }
    close(output[0]);
}

PrivateBus::~PrivateBus() {
    Stop();
}

void PrivateBus::Stop() {
    if (daemon > 0) {
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        daemon = -1;
    }
}

} // namespace kestrane::test
