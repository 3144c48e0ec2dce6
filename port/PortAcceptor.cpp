#include "port/PortAcceptor.h"

#include "port/HostLookup.h"
#include "port/PortConnection.h"
#include "port/PortListener.h"
#include "port/SocketCalls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

PortConnection* PortAcceptor::Accept(PortSocket listening, int openConnections,
                                     bool& outOfResources) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    // Accepted sockets do not inherit non-blocking mode on Linux, so it is
    // asked for here, with close-on-exec.
    PortSocket accepted = RetryInterrupted([&] {
        return ::accept4(listening, reinterpret_cast<sockaddr*>(&address), &size,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    });
    outOfResources =
        accepted < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
    if (accepted < 0) {
        return nullptr;
    }
    if (openConnections >= PORT_MAX_CONNECTIONS ||
        SetIntOption(accepted, SO_SNDBUF, PORT_STREAM_BUFFER_SIZE) != 0 ||
        SetIntOption(accepted, SO_RCVBUF, PORT_STREAM_BUFFER_SIZE) != 0) {
        ::close(accepted);
        return nullptr;
    }
    auto* connection = new PortConnection;
    NamePeer(address, connection->peerName);
    connection->socket = accepted;
    connection->id = TakePortConnectionId();
    return connection;
}

void PortAcceptor::NamePeer(const sockaddr_in& address, char* peerName) {
    std::snprintf(peerName, PORT_PEER_NAME_LENGTH + 1, "%s",
                  DottedAddress(address.sin_addr.s_addr).c_str());
}

} // namespace kestrane
