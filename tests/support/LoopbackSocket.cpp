#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane::test {

namespace {

int BindLoopback(int descriptor) {
    sockaddr_in address = LoopbackAddress("127.0.0.1", 0);
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
    sockaddr_in address = LoopbackAddress("127.0.0.1", toPort);
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

} // namespace kestrane::test
