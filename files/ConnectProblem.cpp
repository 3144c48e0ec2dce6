#include "files/ConnectProblem.h"

#include <cerrno>
#include <cstring>

namespace kestrane {

std::string ConnectProblem::Describe(int error, const std::string& address, int port,
                                     std::chrono::seconds limit) {
    const std::string rule = " On the sending computer, let TCP port " + std::to_string(port) +
                             " in: sudo nft add rule inet filter input tcp dport " +
                             std::to_string(port) + " accept (with ufw: sudo ufw allow in " +
                             std::to_string(port) + "/tcp).";
    if (error == ECONNREFUSED) {
        return address + " refused the connection on TCP port " + std::to_string(port) +
               ": Kestrane there has ended, or a firewall rejects the port." + rule;
    }
    if (error == ETIMEDOUT) {
        return address + " did not answer on TCP port " + std::to_string(port) + " within " +
               std::to_string(limit.count()) + " s: a firewall probably drops the connection." +
               rule;
    }
    return "No connection to " + address + " on TCP port " + std::to_string(port) + ": " +
           std::strerror(error) + ".";
}

} // namespace kestrane
