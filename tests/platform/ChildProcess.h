#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrane::test {

/// A program started with pipes on its standard input, output and error.
/// Owns the process: the destructor kills it if it still runs and reaps it.
/// One thread at a time.
class ChildProcess {
public:
    struct Result {
        int status = -1; // exit status, or 128 + signal number
        std::string output;
        std::string errors;
    };

    /// Starts `arguments[0]` with `arguments` and the `environment` given
    /// ("NAME=value" entries) in place of ours.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// The next line of standard output without its newline; empty at the end
    /// of output or after ten seconds without a whole line.
    std::string ReadLine();
    /// Kills the process with SIGKILL.
    void Kill();
    /// Closes its input, collects what it still writes and waits for it to end.
    Result Finish();

private:
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
    std::string pendingOutput;
};

/// Our environment with HOME set to `home` and XDG_CONFIG_HOME removed, so
/// that programs read their user configuration from `home` alone.
std::vector<std::string> EnvironmentWithHome(const std::string& home);

} // namespace kestrane::test
