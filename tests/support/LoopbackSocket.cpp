#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane::test {

namespace {

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int BindLoopback(int descriptor) {
    sockaddr_in address = LoopbackAddress(0);
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return -1;
    }
    socklen_t size = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

} // namespace

LoopbackSocket::LoopbackSocket() : descriptor(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (descriptor < 0 || (port = BindLoopback(descriptor)) < 0) {
        throw std::runtime_error("cannot bind a loopback test socket");
    }
}

LoopbackSocket::~LoopbackSocket() {
    ::close(descriptor);
}

bool LoopbackSocket::SendTo(int toPort, const std::string& bytes) const {
    sockaddr_in address = LoopbackAddress(toPort);
    ssize_t sent = ::sendto(descriptor, bytes.data(), bytes.size(), 0,
                            reinterpret_cast<sockaddr*>(&address), sizeof address);
    return sent == static_cast<ssize_t>(bytes.size());
}

std::string LoopbackSocket::ReceiveOne(int milliseconds) const {
    pollfd watched{descriptor, POLLIN, 0};
    if (::poll(&watched, 1, milliseconds) != 1) {
        return {};
    }
    std::string bytes(65536, '\0');
    ssize_t received = ::recv(descriptor, bytes.data(), bytes.size(), 0);
    bytes.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return bytes;
}

int FreeUdpPort() {
    int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
    int port = BindLoopback(descriptor);
    ::close(descriptor);
    return port;
}

} // namespace kestrane::test
