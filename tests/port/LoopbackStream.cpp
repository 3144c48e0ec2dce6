#include "tests/port/LoopbackStream.h"

#include "tests/support/LoopbackAddress.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace kestrane::test {

namespace {

using Clock = std::chrono::steady_clock;

/// Waits for `events` on `descriptor` until `deadline`; true when they came.
bool WaitFor(int descriptor, short events, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watched{descriptor, events, 0};
    return ::poll(&watched, 1, static_cast<int>(std::max<long>(0, left.count()))) == 1;
}

} // namespace

LoopbackStream LoopbackStream::ConnectTo(int port) {
    int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress("127.0.0.1", port);
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    return LoopbackStream(descriptor);
}

LoopbackStream LoopbackStream::Listening() {
    int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress("127.0.0.1", 0);
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(descriptor, 8) != 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    return LoopbackStream(descriptor);
}

LoopbackStream::LoopbackStream(int ownedDescriptor) : descriptor(ownedDescriptor) {}

LoopbackStream::LoopbackStream(LoopbackStream&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)) {}

LoopbackStream& LoopbackStream::operator=(LoopbackStream&& other) noexcept {
    if (this != &other) {
        Close();
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

LoopbackStream::~LoopbackStream() {
    Close();
}

int LoopbackStream::Port() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

LoopbackStream LoopbackStream::Accept(int milliseconds) const {
    if (!WaitFor(descriptor, POLLIN, Clock::now() + std::chrono::milliseconds(milliseconds))) {
        return LoopbackStream();
    }
    return LoopbackStream(::accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC));
}

bool LoopbackStream::Send(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t count = ::send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

std::string LoopbackStream::Receive(std::size_t count, int milliseconds) const {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::string bytes;
    char chunk[8192];
    while (bytes.size() < count && WaitFor(descriptor, POLLIN, deadline)) {
        ssize_t received =
            ::recv(descriptor, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (received < 1) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(received));
    }
    return bytes;
}

bool LoopbackStream::WaitForClose(int milliseconds) const {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    char chunk[256];
    while (WaitFor(descriptor, POLLIN, deadline)) {
        if (::recv(descriptor, chunk, sizeof chunk, 0) < 1) {
            return true;
        }
    }
    return false;
}

void LoopbackStream::Close() {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

} // namespace kestrane::test
