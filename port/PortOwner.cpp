#include "port/PortOwner.h"

#include <charconv>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <vector>

namespace kestrane {

std::optional<uid_t> UdpPortOwner(int port) {
    // "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid ..."
    // with the local address as hex "0100007F:2328".
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long owner = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
              owner)) {
            continue;
        }
        const std::size_t colon = local.find(':');
        unsigned long localPort = 0;
        if (colon != std::string::npos &&
            std::from_chars(local.data() + colon + 1, local.data() + local.size(), localPort, 16)
                    .ec == std::errc() &&
            localPort == static_cast<unsigned long>(port)) {
            return static_cast<uid_t>(owner);
        }
    }
    return std::nullopt;
}

std::string UserName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

} // namespace kestrane
