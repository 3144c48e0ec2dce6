#pragma once

#include <cstdint>

namespace kestrane {

class PortConnection;
class PortListener;

/// A socket descriptor. Descriptor 0 is a valid descriptor on Linux (a process
/// started without standard input gets it for its first socket), so "no socket"
/// is PORT_NO_SOCKET rather than 0.
using PortSocket = int;
inline constexpr PortSocket PORT_NO_SOCKET = -1;

/// Modes of CreatePortConnection.
inline constexpr int PORT_MODE_UDP = 0;
inline constexpr int PORT_MODE_TCP = 1;

/// Modes of CreatePortListener.
inline constexpr int LISTEN_UDP = 0;
inline constexpr int LISTEN_TCP_KEEP = 1;
inline constexpr int LISTEN_TCP_ONCE = 2;

/// Largest single reception, and the size of every receive buffer.
inline constexpr int PORT_BUFFER_SIZE = 4096;
/// SO_SNDBUF of a LISTEN_UDP socket.
inline constexpr int PORT_UDP_BUFFER_SIZE = 102400;
/// SO_RCVBUF asked for a LISTEN_UDP socket: room for about 2,500 small
/// datagrams, so that a whole LAN answering at once is not dropped while the
/// poll thread waits for a core. Linux caps it at net.core.rmem_max.
inline constexpr int PORT_UDP_RECEIVE_BUFFER_SIZE = 1048576;
/// Most receptions waiting for the dispatcher. Beyond it a reception is
/// dropped, as a full socket buffer would drop it, so a slow receive callback
/// cannot make the list grow without bound: twice a storm of 1,000 hellos,
/// and at most about 9 MB even if every reception were 4096 bytes.
inline constexpr int PORT_PENDING_LIMIT = 2048;
/// Most datagrams a LISTEN_UDP poll pass takes before it polls again.
inline constexpr int PORT_UDP_RECEPTIONS_PER_PASS = 64;
/// Backlog given to listen().
inline constexpr int PORT_LISTEN_BACKLOG = 5;
/// Largest connection id; the id after it is 1.
inline constexpr std::uint32_t PORT_MAX_CONNECTION_ID = 0xB0000000u;
/// SO_SNDBUF and SO_RCVBUF of every stream socket: TCP clients, listening
/// sockets and accepted connections.
inline constexpr int PORT_STREAM_BUFFER_SIZE = 4096;
/// Most accepted connections a listener serves at once; a further one is
/// closed as soon as it is accepted.
inline constexpr int PORT_MAX_CONNECTIONS = 128;
/// Length of a peer name, without its terminator.
inline constexpr int PORT_PEER_NAME_LENGTH = 255;

/// Runs on the thread that calls it: the reader thread of a connection, or a
/// listener's poll thread for a disconnect.
using PortNotifyCallback = void (*)(PortConnection* connection);
/// Runs on a listener's dispatcher thread. 0 goes on; any other value is added
/// to PortStopCounter and stops every dispatcher of the process.
using PortReceiveCallback = std::int32_t (*)(PortConnection* node);
/// Runs on a listener's poll thread. Non-zero keeps the connection, 0 refuses it.
using PortAcceptCallback = std::int32_t (*)(PortConnection* connection);

} // namespace kestrane
