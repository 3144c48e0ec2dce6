#pragma once

#include "tests/support/LoopbackAddress.h"

#include <QTest>
#include <poll.h>
#include <string>

namespace kestrane::test {

/// A chat datagram as a peer composes it: type, name right-aligned in 32, text.
inline std::string Datagram(char type, const std::string& name, const std::string& text) {
    return std::string(1, type) + std::string(32 - name.size(), ' ') + name + text;
}

/// A host of the LAN on a loopback address: a UDP socket bound to `host` and
/// `port` (0: any free port), shared with this user's other sockets on that port. Owns its
/// descriptor.
class UdpPeer {
public:
    explicit UdpPeer(const char* host = "127.0.0.1", int port = 0)
        : descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        int enable = 1;
        setsockopt(descriptor, SOL_SOCKET, SO_REUSEPORT, &enable, sizeof enable);
        sockaddr_in address = LoopbackAddress(host, port);
        bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
        boundPort = ntohs(address.sin_port);
    }
    ~UdpPeer() { ::close(descriptor); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int Port() const { return boundPort; }
    /// Next() passes over datagrams of `type` from now on.
    void Ignore(char type) { ignoredType = type; }
    bool SendTo(int port, const std::string& bytes, const char* host = "127.0.0.1") const {
        const sockaddr_in address = LoopbackAddress(host, port);
        return ::sendto(descriptor, bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&address),
                        sizeof address) == static_cast<ssize_t>(bytes.size());
    }
    /// Sends to the loopback network's broadcast address, as to everybody.
    bool SendToEverybody(int port, const std::string& bytes) const {
        const int enable = 1;
        setsockopt(descriptor, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
        return SendTo(port, bytes, "127.255.255.255");
    }
    /// The next datagram, running the UI thread's events while it waits;
    /// empty when none came within `milliseconds`.
    std::string Next(int milliseconds = 2000) const {
        std::string bytes;
        static_cast<void>(QTest::qWaitFor(
            [&] {
                pollfd watched{descriptor, POLLIN, 0};
                if (poll(&watched, 1, 0) != 1) {
                    return false;
                }
                bytes.resize(8192);
                const ssize_t count = recv(descriptor, bytes.data(), bytes.size(), 0);
                bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
                return bytes.empty() || bytes[0] != ignoredType;
            },
            milliseconds));
        return bytes;
    }

private:
    int descriptor;
    int boundPort = 0;
    int ignoredType = -1;
};

/// What `peer`, bound to `address`, got before a marker sent to it now: the
/// way to check that nothing else arrived.
inline std::string Received(const UdpPeer& peer, const char* address) {
    UdpPeer().SendTo(peer.Port(), "marker", address);
    std::string got, next;
    while ((next = peer.Next()) != "marker" && !next.empty()) {
        got += next;
    }
    return next.empty() ? "<no marker>" : got;
}

} // namespace kestrane::test
