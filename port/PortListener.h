#pragma once

#include "port/PortTypes.h"
#include "port/SocketLoans.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

namespace kestrane {

class AutoResetEvent;

/// Shared by every listener of the process. The id that the next accepted
/// connection takes is one more than this, or 1 after PORT_MAX_CONNECTION_ID.
extern std::atomic<std::uint32_t> PortIdCounter;
/// Sum of every receive callback's result; dispatchers go on while it is 0.
extern std::atomic<std::int32_t> PortStopCounter;

/// Takes the next connection id from PortIdCounter. Safe to call from any thread.
std::uint32_t TakePortConnectionId();

/// The receiving side of the port library: one socket bound to a local port on
/// all addresses, a poll thread that receives into nodes on a pending list, and
/// a dispatcher thread that hands each node to the receive callback.
///
/// Made by CreatePortListener and ended only through Release. Owns its socket,
/// both lists and every node on them; a node lent to the receive callback lives
/// only during the call.
class PortListener final {
public:
    PortListener(const PortListener&) = delete;
    PortListener& operator=(const PortListener&) = delete;

    /// True while no stop has been requested. Safe to call from any thread.
    virtual bool IsRunning();
    /// Stops both threads, waits for them and frees the listener. Returns within
    /// one poll timeout. Not to be called from the listener's own callbacks.
    virtual void Release();
    /// Head of the connection list (TCP modes), newest first, or null. The poll
    /// thread changes the list: walk it, and use its connections, only while
    /// holding `lock`.
    virtual PortConnection* GetConnections();
    /// Closes and ends the open connection with `id`: 0, or -1 when there is none.
    /// Safe to call from any thread, and from the accept and disconnect callbacks;
    /// never ends a connection while the poll thread is working on it.
    virtual int CloseConnection(std::uint32_t id);
    /// Takes the open connection with `id` off the listener without closing
    /// it: the caller owns the returned descriptor (a duplicate of the
    /// connection's socket, close-on-exec, still non-blocking), or gets -1
    /// when there is no such connection. Safe to call from any thread and from
    /// the receive callback; LISTEN_TCP_KEEP only.
    virtual PortSocket TakeConnection(std::uint32_t id);

    // Fields, in the order of the design.
    PortConnection* connections = nullptr; // guarded by lock; the sockets are owned
    PortSocket socket = PORT_NO_SOCKET;
    char buffer[PORT_BUFFER_SIZE] = {}; // poll thread only
    std::atomic<bool> dataReady{false};
    std::recursive_mutex lock;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> dispatcherStop{false};
    int mode = LISTEN_UDP;
    PortConnection* pending = nullptr; // guarded by lock
    int pendingCount = 0;              // guarded by lock
    /// Receptions dropped at the pending list's ceiling, for tests and benchmarks.
    std::atomic<long> droppedReceptions{0};
    /// Accepts that failed for want of descriptors or kernel memory, for tests
    /// and benchmarks.
    std::atomic<long> starvedAccepts{0};
    bool cleanupSockets = false;
    std::thread pollThread;
    std::thread dispatcherThread;
    std::unique_ptr<AutoResetEvent> dataReadyEvent;
    std::unique_ptr<AutoResetEvent> doneEvent;
    PortReceiveCallback receiveCallback = nullptr;
    PortAcceptCallback acceptCallback = nullptr;
    PortNotifyCallback disconnectCallback = nullptr;

private:
    friend int CreatePortListener(int, int, PortReceiveCallback, PortAcceptCallback,
                                  PortNotifyCallback, PortListener**);

    explicit PortListener(int listenMode);
    ~PortListener();

    /// Connections that had events in the last poll, named by id and socket so
    /// that one closed and replaced meanwhile is not mistaken for its successor.
    struct ReadyConnection {
        std::uint32_t id;
        PortSocket socket;
        short events;
    };

    int OpenBoundSocket(int type, int port);
    int SetUpUdp(int port);
    int SetUpTcp(int port);
    void RunPoll();
    void RunDispatcher();
    int UdpPollTimeout() const;
    /// Milliseconds until the stream modes accept again after running out of
    /// descriptors; 0 when they accept now.
    int AcceptPauseLeft() const;
    void PollUdp();
    void PollTcp();
    /// Receives once into `node`: the count; 0 when nothing was there to take
    /// all; -1 when the reception failed.
    int ReceiveInto(PortConnection* node);
    std::vector<pollfd>& BuildWatchSet();
    void EndPendingNodes();
    // Poll thread, with `lock` held: the stream modes' work after a poll.
    void CollectReadyConnections();
    PortConnection* FindReady(const ReadyConnection& ready);
    int CountConnections();
    void Accept();
    void ServeKept(PortConnection* connection, short events);
    void HandOverOnce(PortConnection* connection);
    // Any thread, with `lock` held.
    void Unlink(PortConnection* connection);
    /// Closes a connection taken off the connection list and frees it.
    void EndConnection(PortConnection* connection);
    void PushPending(PortConnection* node);
    /// Ends a node of the pending list; only LISTEN_TCP_ONCE nodes own their socket.
    void EndNode(PortConnection* node);
    // Dispatcher thread.
    void DeliverBatch(PortConnection* batch);

    /// Ends the poll thread's wait at once when a stop is requested, so Release
    /// need not sit out a whole poll timeout.
    int wakeDescriptor = -1;
    /// Set when the dispatcher has ended; later receptions are ended at once
    /// instead of piling up on the pending list.
    std::atomic<bool> dispatcherEnded{false};
    std::vector<pollfd> watched;                         // poll thread only
    std::vector<std::uint32_t> watchedIds;               // poll thread only; ids of watched[2...]
    std::vector<ReadyConnection> readyConnections;       // poll thread only
    std::chrono::steady_clock::time_point acceptResumes; // poll thread only
    SocketLoans loans;                                   // guarded by lock
};

} // namespace kestrane
