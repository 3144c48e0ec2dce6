#pragma once

#include "tests/support/LoopbackAddress.h"

#include <cstddef>
#include <netinet/in.h>
#include <string>

namespace kestrane::test {

/// A plain UDP socket bound to 127.0.0.1 on a port the system picks, for
/// sending to and receiving from the code under test. Owns its descriptor.
class LoopbackSocket {
public:
    LoopbackSocket();
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    int Descriptor() const { return descriptor; }
    int Port() const { return port; }

    /// Sends `bytes` to 127.0.0.1:`toPort`; true when all went out.
    bool SendTo(int toPort, const std::string& bytes) const;
    /// Waits up to `milliseconds` for one datagram; empty on time-out.
    std::string ReceiveOne(int milliseconds) const;

private:
    int descriptor = -1;
    int port = 0;
};

} // namespace kestrane::test
