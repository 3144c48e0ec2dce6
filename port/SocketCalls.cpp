#include "port/SocketCalls.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

namespace {

using Clock = std::chrono::steady_clock;

/// Milliseconds left until `deadline`, rounded up so that a wait of a few
/// microseconds does not become a mere look; -1 (no limit) without a deadline.
int MillisecondsLeft(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return -1;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

} // namespace

int SetIntOption(PortSocket socket, int option, int value) {
    return setsockopt(socket, SOL_SOCKET, option, &value, sizeof value);
}

int WaitUntilReadable(PortSocket socket, const timeval* timeout) {
    std::optional<Clock::time_point> deadline;
    if (timeout != nullptr) {
        deadline = Clock::now() + std::chrono::seconds(timeout->tv_sec) +
                   std::chrono::microseconds(timeout->tv_usec);
    }
    pollfd watched{socket, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&watched, 1, MillisecondsLeft(deadline));
    } while (ready < 0 && errno == EINTR);
    return ready;
}

int MakeWakeDescriptor() {
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void WakeWaiter(int wakeDescriptor) {
    if (wakeDescriptor >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeDescriptor, &one, sizeof one);
    }
}

ssize_t SendWithPacketInfo(PortSocket socket, const sockaddr_in& destination, const char* bytes,
                           std::size_t count, unsigned interfaceIndex, in_addr_t source) {
    sockaddr_in target = destination;
    iovec data{const_cast<char*>(bytes), count};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interfaceIndex);
    info.ipi_spec_dst.s_addr = source;
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    return RetryInterrupted([&] { return ::sendmsg(socket, &message, 0); });
}

} // namespace kestrane
