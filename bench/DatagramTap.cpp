#include "bench/DatagramTap.h"

#include "tests/support/LoopbackAddress.h"

#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kestrane::bench {

namespace {

// Far more than any storm sends; as root the system's cap does not apply.
constexpr int TAP_BUFFER_BYTES = 64 * 1024 * 1024;
constexpr int STOP_CHECK_MS = 50;

} // namespace

DatagramTap::DatagramTap(int port, std::string wantedBytes)
    : wanted(std::move(wantedBytes)), descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    int enable = 1;
    setsockopt(descriptor, SOL_SOCKET, SO_REUSEPORT, &enable, sizeof enable);
    int size = TAP_BUFFER_BYTES;
    if (setsockopt(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address = test::LoopbackAddress("127.0.0.1", port);
    bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    reader = std::thread(&DatagramTap::Run, this);
}

DatagramTap::~DatagramTap() {
    stopping.store(true);
    reader.join();
    ::close(descriptor);
}

void DatagramTap::Run() {
    std::vector<char> buffer(65536);
    while (!stopping.load()) {
        pollfd watched{descriptor, POLLIN, 0};
        if (::poll(&watched, 1, STOP_CHECK_MS) != 1) {
            continue;
        }
        ssize_t count = ::recv(descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT);
        while (count >= 0) {
            total.fetch_add(1);
            if (std::string_view(buffer.data(), static_cast<std::size_t>(count)) == wanted) {
                matches.fetch_add(1);
            }
            count = ::recv(descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT);
        }
    }
}

} // namespace kestrane::bench
