#pragma once

#include "port/PortTypes.h"

#include <cerrno>
#include <cstddef>
#include <netinet/in.h>
#include <sys/time.h>

namespace kestrane {

/// Repeats a system call that a signal interrupted before it did anything.
template <typename Call> auto RetryInterrupted(Call call) {
    auto result = call();
    while (result < 0 && errno == EINTR) {
        result = call();
    }
    return result;
}

/// setsockopt at SOL_SOCKET with an int value: 0, or -1.
int SetIntOption(PortSocket socket, int option, int value);

/// Waits until `socket` is readable (or has failed or been closed by its
/// peer), at most for `timeout`, without limit when it is null. Positive when
/// it is, 0 when the time passed, -1 on error.
int WaitUntilReadable(PortSocket socket, const timeval* timeout);

/// sendto with an IP_PKTINFO of `interfaceIndex` (0: as routed) and `source`
/// (0: the interface's own address): for a broadcast out of one chosen
/// interface, or a datagram from one of several local addresses. Retries
/// after a signal; sendmsg's result.
ssize_t SendWithPacketInfo(PortSocket socket, const sockaddr_in& destination, const char* bytes,
                           std::size_t count, unsigned interfaceIndex, in_addr_t source);

/// Makes an eventfd that WakeWaiter writes, for ending a poll early; -1 when
/// none can be made (the waiter then sees a stop at its next timeout).
int MakeWakeDescriptor();
/// Makes `wakeDescriptor` readable for good. Safe to call from any thread.
void WakeWaiter(int wakeDescriptor);

} // namespace kestrane
