#include "port/HostLookup.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

namespace kestrane {

std::optional<in_addr_t> LookUpHostAddress(const char* host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    return address.sin_addr.s_addr;
}

in_addr_t HostAddressOrInetAddr(const char* host) {
    if (std::optional<in_addr_t> address = LookUpHostAddress(host)) {
        return *address;
    }
    return inet_addr(host);
}

} // namespace kestrane
