#pragma once

#include "port/PortTypes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <sys/time.h>
#include <thread>

namespace kestrane {

class AutoResetEvent;

/// One socket in one of three roles: UDP sender, TCP client, or a reception node
/// made by a PortListener.
///
/// Made by CreatePortConnection (or by a listener) and ended only through
/// Release. Owns its socket, unless a listener lent it (the listener then clears
/// `socket` before the node is ended), and its data block.
///
/// Without a reader thread the object takes no lock: whoever holds it must not
/// let OpenDatagram, which replaces the socket, run beside another operation.
/// With a reader thread, the reader alone writes `data`, `length` and `socket`
/// and calls the two callbacks; the owner reads them only inside those callbacks
/// or once `readerRunning` has dropped to 0.
class PortConnection final {
public:
    PortConnection();
    PortConnection(const PortConnection&) = delete;
    PortConnection& operator=(const PortConnection&) = delete;

    virtual std::uint32_t GetId();
    /// The last reception, NUL-terminated, or null.
    virtual char* GetData();
    virtual char* GetPeerName();
    virtual int GetDataLength();
    virtual PortSocket GetSocket();
    /// Waits at most `timeout` for data, then receives up to *size bytes.
    /// 0 and the count in *size, or -1 and *size 0 (also when the time passes).
    virtual int Receive(char* buffer, int* size, timeval* timeout);
    /// One send(); its result unchanged.
    virtual int Send(const char* data, int count);
    /// Sends the request, then does what Receive does.
    virtual int Transact(const char* request, int requestCount, char* buffer, int* size,
                         timeval* timeout);
    /// Opens a blocking stream connection to `host` (a name or a dotted address)
    /// on a fresh object. -1 when the host neither resolves nor parses, or the
    /// connection cannot be made; the object then keeps no socket.
    virtual int Connect(const char* host, int port);
    virtual void Close();
    /// Stops the reader thread, if any, closes the socket and frees the object.
    /// Not to be called from the connection's own callbacks.
    virtual void Release();
    /// Re-aims the sender at `host`, or at the broadcast address when null, on a
    /// fresh datagram socket.
    virtual int OpenDatagram(const char* host, int port);
    /// The count when the whole datagram went out; otherwise shows "IPORT Error."
    /// and returns -1 once the box is closed.
    virtual int SendDatagram(const char* data, int count);

    /// Sends like SendDatagram but shows no box: true when the whole datagram
    /// went out. For callers that must report the failure after releasing a lock.
    bool TrySendDatagram(const char* data, int count);
    /// Sends like TrySendDatagram, aimed at everybody but through the one
    /// interface `interfaceIndex` (a network that has just come up). False when
    /// the connection is not aimed at the broadcast address or the interface is
    /// not one that broadcasts leave through.
    bool TrySendDatagramOn(unsigned interfaceIndex, const char* data, int count);
    /// Stores a copy of `count` bytes and a NUL as the last reception.
    void StoreReception(const char* bytes, int count);
    /// Starts the reader thread of a connected TCP client.
    void StartReader(PortNotifyCallback onData, PortNotifyCallback onException);
    /// A new node that names this connection's socket (borrowed), peer name and
    /// id, and takes over its last reception; this connection keeps no data.
    PortConnection* TakeReceptionCopy();

    // Fields, in the order of the design.
    PortConnection* next = nullptr; // link in one of a listener's lists
    PortSocket socket = PORT_NO_SOCKET;
    sockaddr_in destination{};
    std::unique_ptr<AutoResetEvent> exitEvent;
    PortNotifyCallback dataCallback = nullptr;
    PortNotifyCallback exceptionCallback = nullptr;
    std::atomic<std::int32_t> readerRunning{0};
    std::thread readerThread; // holds the thread's handle and id
    /// A TCP client's host; an accepted connection's peer, or a UDP
    /// reception's sender, as a dotted IPv4 address.
    char peerName[PORT_PEER_NAME_LENGTH + 1] = {};
    /// A UDP reception was sent to this host's own address, not by broadcast.
    bool toOwnAddress = false;
    std::uint32_t id = 0;
    std::unique_ptr<char[]> data;
    std::int32_t length = 0;
    /// The longest that Connect waits for the peer; zero waits as long as the
    /// system does, minutes for a host whose firewall drops the request.
    std::chrono::milliseconds connectLimit{0};
    /// Why the last Connect failed, as an errno value (ECONNREFUSED,
    /// ETIMEDOUT, ...); 0 after a success.
    int connectError = 0;

private:
    ~PortConnection();
    void RunReader();
    void ReadOnce(char* buffer);
    int ReceiveOnReader(char* buffer);
    void EndReaderOnFailure();

    /// Written by Release so that the reader thread sees the stop at once
    /// rather than after a whole poll timeout; -1 without a reader thread.
    int wakeDescriptor = -1;
    /// Set by a nameless OpenDatagram: sends then go out through every
    /// network (BroadcastFanout), not only the default route's.
    bool aimedAtEverybody = false;
};

} // namespace kestrane
