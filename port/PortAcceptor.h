#pragma once

#include "port/PortTypes.h"

#include <netinet/in.h>

namespace kestrane {

/// The accept path of a listener's stream modes: turns one waiting connection
/// into a PortConnection that owns its socket and has its peer name and id.
/// Runs on the listener's poll thread.
class PortAcceptor {
public:
    /// Accepts one connection from `listening`. Null when nothing could be
    /// accepted, when the new socket's options cannot be set, or when
    /// `openConnections` already reached PORT_MAX_CONNECTIONS; a socket that was
    /// accepted is closed then. The connection takes the next id.
    /// `outOfResources` tells whether accept itself failed for want of
    /// descriptors or kernel memory: the waiting connection is still queued.
    static PortConnection* Accept(PortSocket listening, int openConnections, bool& outOfResources);

    /// Writes the dotted text of `address` into `peerName`. No reverse lookup:
    /// on a LAN without name service it would name every peer alike, and a
    /// dead resolver would hold the poll thread for seconds per connection.
    static void NamePeer(const sockaddr_in& address, char* peerName);
};

} // namespace kestrane
