#include "port/HostLookup.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

namespace kestrane {

std::optional<in_addr_t> LookUpHostAddress(const char* host) {
    // Dotted text never reaches the resolver, so aiming at a known address
    // cannot wait on the network.
    in_addr numeric{};
    if (host != nullptr && inet_pton(AF_INET, host, &numeric) == 1) {
        return numeric.s_addr;
    }
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

std::string DottedAddress(in_addr_t address) {
    in_addr numeric{};
    numeric.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &numeric, text, sizeof text);
    return text;
}

bool IsDottedAddress(std::string_view text) {
    in_addr numeric{};
    return inet_pton(AF_INET, std::string(text).c_str(), &numeric) == 1;
}

} // namespace kestrane
