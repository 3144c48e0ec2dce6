#pragma once

#include <chrono>
#include <string>

namespace kestrane {

/// Why a receiver could not connect to a sender, for the person, with what to
/// change on the sending computer when a firewall is the likely cause.
class ConnectProblem {
public:
    /// `error`: the connection's errno; `limit`: how long it was given.
    static std::string Describe(int error, const std::string& address, int port,
                                std::chrono::seconds limit);
};

} // namespace kestrane
