#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane::test {

/// `host` (an address on the loopback network, 127.0.0.0/8) and `port`; port 0
/// lets bind pick one. Header-only, so benchmarks built without the tests use it too.
inline sockaddr_in LoopbackAddress(const char* host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

/// A port of `type` (SOCK_DGRAM, SOCK_STREAM) on 127.0.0.1 free a moment ago (bound, read back).
inline int FreePort(int type) {
    int descriptor = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress("127.0.0.1", 0);
    bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(descriptor);
    return ntohs(address.sin_port);
}

inline int FreeUdpPort() {
    return FreePort(SOCK_DGRAM);
}

} // namespace kestrane::test
