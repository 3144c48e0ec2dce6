#pragma once

#include <string>

namespace kestrane {

/// `kestrane --history [--since WHEN]`: prints the history this user's copies
/// keep, with no copy running or beside the one that runs.
class HistoryCommand {
public:
    /// Returns the exit status: 0, 1 when the history cannot be read, 2 for a
    /// WHEN that names no time.
    static int Run(int argc, char** argv, const std::string& since);
};

} // namespace kestrane
