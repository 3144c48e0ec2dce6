#include "port/PortListener.h"

#include "platform/AutoResetEvent.h"
#include "port/PortAcceptor.h"
#include "port/PortConnection.h"
#include "port/PortLibrary.h"
#include "port/SocketCalls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

std::atomic<std::uint32_t> PortIdCounter{0};
std::atomic<std::int32_t> PortStopCounter{0};

namespace {

constexpr int UDP_POLL_TIMEOUT_MS = 3000;
constexpr int TCP_KEEP_POLL_TIMEOUT_MS = 1000;
constexpr int TCP_ONCE_POLL_TIMEOUT_MS = 3000;
// How long the stream modes leave their own socket unwatched after accept ran
// out of descriptors or memory.
constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};

// Where the listener's own socket and the wake descriptor sit in the watch
// set; the connections follow them.
constexpr std::size_t OWN_SOCKET_SLOT = 0;
constexpr std::size_t FIRST_CONNECTION_SLOT = 2;

// What select's read set would report: data, end of stream or an error.
constexpr short READABLE_EVENTS = POLLIN | POLLERR | POLLHUP | POLLNVAL;

/// Ends a node that only borrowed its socket, without closing that socket.
void EndBorrowingNode(PortConnection* node) {
    node->socket = PORT_NO_SOCKET;
    node->Release();
}

/// Writes the dotted IPv4 address a datagram came from into `peerName`, or
/// leaves it empty when the sender is not an IPv4 address.
void NameSender(const sockaddr_in& sender, socklen_t length, char* peerName) {
    peerName[0] = '\0';
    if (length >= sizeof sender && sender.sin_family == AF_INET) {
        inet_ntop(AF_INET, &sender.sin_addr, peerName, PORT_PEER_NAME_LENGTH + 1);
    }
}

/// Whether a datagram's header named this host's own address as its
/// destination (the local address it came in on), rather than a broadcast one.
bool SentToOwnAddress(msghdr& header) {
    for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr;
         part = CMSG_NXTHDR(&header, part)) {
        if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(part), sizeof info);
            return info.ipi_addr.s_addr == info.ipi_spec_dst.s_addr;
        }
    }
    return false;
}

/// Reverses a singly linked list; the pending list is newest first.
PortConnection* Reversed(PortConnection* head) {
    PortConnection* reversed = nullptr;
    while (head != nullptr) {
        PortConnection* next = head->next;
        head->next = reversed;
        reversed = head;
        head = next;
    }
    return reversed;
}

} // namespace

std::uint32_t TakePortConnectionId() {
    std::uint32_t current = PortIdCounter.load();
    std::uint32_t next;
    do {
        next = current < PORT_MAX_CONNECTION_ID ? current + 1 : 1;
    } while (!PortIdCounter.compare_exchange_weak(current, next));
    return next;
}

int CreatePortListener(int mode, int port, PortReceiveCallback receiveCallback,
                       PortAcceptCallback acceptCallback, PortNotifyCallback disconnectCallback,
                       PortListener** out) {
    auto* listener = new PortListener(mode);
    int setUp = mode == LISTEN_UDP ? listener->SetUpUdp(port) : listener->SetUpTcp(port);
    if (setUp != 0) {
        delete listener;
        return -1;
    }
    listener->receiveCallback = receiveCallback;
    listener->acceptCallback = acceptCallback;
    listener->disconnectCallback = disconnectCallback;
    listener->pollThread = std::thread(&PortListener::RunPoll, listener);
    listener->dispatcherThread = std::thread(&PortListener::RunDispatcher, listener);
    *out = listener;
    return 0;
}

PortListener::PortListener(int listenMode)
    : mode(listenMode), cleanupSockets(true), dataReadyEvent(std::make_unique<AutoResetEvent>()),
      doneEvent(std::make_unique<AutoResetEvent>()), wakeDescriptor(MakeWakeDescriptor()) {}

PortListener::~PortListener() {
    dataReadyEvent.reset();
    doneEvent.reset();
    // Undelivered nodes first: their loans must be returned before the
    // connections' sockets are closed.
    while (pending != nullptr) {
        PortConnection* next = pending->next;
        EndNode(pending);
        pending = next;
    }
    while (connections != nullptr) {
        PortConnection* next = connections->next;
        EndConnection(connections);
        connections = next;
    }
    if (socket != PORT_NO_SOCKET) {
        ::close(socket);
    }
    if (wakeDescriptor >= 0) {
        ::close(wakeDescriptor);
    }
    if (cleanupSockets) {
        PortCleanup();
    }
}

bool PortListener::IsRunning() {
    return !stopRequested.load();
}

void PortListener::Release() {
    stopRequested.store(true);
    WakeWaiter(wakeDescriptor);
    doneEvent->Wait();
    pollThread.join();
    dispatcherThread.join();
    delete this;
}

PortConnection* PortListener::GetConnections() {
    std::lock_guard guard(lock);
    return connections;
}

int PortListener::CloseConnection(std::uint32_t connectionId) {
    std::lock_guard guard(lock);
    for (PortConnection* connection = connections; connection != nullptr;
         connection = connection->next) {
        if (connection->id == connectionId) {
            Unlink(connection);
            EndConnection(connection);
            return 0;
        }
    }
    return -1;
}

PortSocket PortListener::TakeConnection(std::uint32_t connectionId) {
    std::lock_guard guard(lock);
    for (PortConnection* connection = connections; connection != nullptr;
         connection = connection->next) {
        if (connection->id == connectionId && mode == LISTEN_TCP_KEEP) {
            const PortSocket taken = ::fcntl(connection->socket, F_DUPFD_CLOEXEC, 0);
            if (taken < 0) {
                return PORT_NO_SOCKET;
            }
            Unlink(connection);
            loans.Close(connection->socket, false);
            connection->socket = PORT_NO_SOCKET;
            connection->Release();
            return taken;
        }
    }
    return PORT_NO_SOCKET;
}

int PortListener::OpenBoundSocket(int type, int port) {
    socket = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        socket = PORT_NO_SOCKET;
        return -1;
    }
    // A stream listener may take its port again while connections of an
    // earlier run wait out TIME_WAIT. A datagram socket with SO_REUSEADDR would
    // let any user's socket bind the same port on a more specific address and
    // take every unicast datagram meant for us; SO_REUSEPORT shares the port
    // only with sockets of this user (tools that listen beside the program).
    const int sharing = type == SOCK_STREAM ? SO_REUSEADDR : SO_REUSEPORT;
    if (SetIntOption(socket, sharing, 1) != 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        socket = PORT_NO_SOCKET;
        return -1;
    }
    return 0;
}

int PortListener::SetUpUdp(int port) {
    const int withDestination = 1; // tells a line to this host from one to everybody
    if (OpenBoundSocket(SOCK_DGRAM, port) != 0 ||
        SetIntOption(socket, SO_SNDBUF, PORT_UDP_BUFFER_SIZE) != 0 ||
        SetIntOption(socket, SO_RCVBUF, PORT_UDP_RECEIVE_BUFFER_SIZE) != 0 ||
        setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &withDestination, sizeof withDestination) != 0) {
        return -1;
    }
    int nonBlocking = 1;
    ioctl(socket, FIONBIO, &nonBlocking);
    return 0;
}

int PortListener::SetUpTcp(int port) {
    if (OpenBoundSocket(SOCK_STREAM, port) != 0 ||
        SetIntOption(socket, SO_SNDBUF, PORT_STREAM_BUFFER_SIZE) != 0 ||
        SetIntOption(socket, SO_RCVBUF, PORT_STREAM_BUFFER_SIZE) != 0) {
        return -1;
    }
    int nonBlocking = 1;
    ioctl(socket, FIONBIO, &nonBlocking);
    if (::listen(socket, PORT_LISTEN_BACKLOG) != 0) {
        ::close(socket);
        socket = PORT_NO_SOCKET;
        return -1;
    }
    return 0;
}

void PortListener::RunPoll() {
    while (IsRunning()) {
        if (mode == LISTEN_UDP) {
            PollUdp();
        } else {
            PollTcp();
        }
        if (dataReady.exchange(false)) {
            dataReadyEvent->Set();
        }
    }
    EndPendingNodes();
    dispatcherStop.store(true);
    dataReadyEvent->Set();
}

void PortListener::EndPendingNodes() {
    std::lock_guard guard(lock);
    while (pending != nullptr) {
        PortConnection* next = pending->next;
        EndNode(pending);
        pending = next;
    }
    pendingCount = 0;
}

std::vector<pollfd>& PortListener::BuildWatchSet() {
    watched.clear();
    watchedIds.clear();
    short ownEvents = mode == LISTEN_TCP_KEEP ? POLLIN : POLLIN | POLLPRI;
    // A negative descriptor is passed over by poll: while accepting is paused,
    // the connection that could not be accepted must not end every wait at once.
    watched.push_back(pollfd{AcceptPauseLeft() > 0 ? -1 : socket, ownEvents, 0});
    watched.push_back(pollfd{wakeDescriptor, POLLIN, 0});
    // Exceptions on connections count only where they close them; watching
    // them elsewhere would make every poll return at once after urgent data.
    short connectionEvents = mode == LISTEN_TCP_KEEP ? POLLIN | POLLPRI : POLLIN;
    std::lock_guard guard(lock);
    for (PortConnection* connection = connections; connection != nullptr;
         connection = connection->next) {
        watched.push_back(pollfd{connection->socket, connectionEvents, 0});
        watchedIds.push_back(connection->id);
    }
    return watched;
}

int PortListener::UdpPollTimeout() const {
    // Release ends the wait through the wake descriptor, so an idle listener
    // need not wake every few seconds to look for a stop; the time-out is
    // kept only for when that descriptor could not be made.
    return wakeDescriptor >= 0 ? -1 : UDP_POLL_TIMEOUT_MS;
}

int PortListener::AcceptPauseLeft() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        acceptResumes - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long>(left.count(), 0));
}

void PortListener::PollUdp() {
    std::vector<pollfd>& set = BuildWatchSet();
    int ready = RetryInterrupted([&] { return ::poll(set.data(), set.size(), UdpPollTimeout()); });
    if (ready < 1 || !IsRunning()) {
        return;
    }
    const pollfd& own = set[OWN_SOCKET_SLOT];
    if ((own.revents & POLLPRI) != 0) {
        stopRequested.store(true);
        return;
    }
    if ((own.revents & (POLLIN | POLLERR)) == 0) {
        return;
    }
    // A pass takes what is queued, up to a bound, rather than one datagram:
    // a storm of hellos from a whole LAN would otherwise overflow the socket's
    // buffer between two polls.
    std::lock_guard guard(lock);
    for (int taken = 0; taken < PORT_UDP_RECEPTIONS_PER_PASS; ++taken) {
        auto* node = new PortConnection;
        node->socket = socket;
        node->next = connections;
        connections = node;
        int received = ReceiveInto(node);
        connections = node->next;
        if (received == 0) {
            EndNode(node); // nothing more was queued
            break;
        }
        PushPending(node);
    }
}

void PortListener::PollTcp() {
    std::vector<pollfd>& set = BuildWatchSet();
    int timeout = mode == LISTEN_TCP_KEEP ? TCP_KEEP_POLL_TIMEOUT_MS : TCP_ONCE_POLL_TIMEOUT_MS;
    if (const int paused = AcceptPauseLeft(); paused > 0) {
        timeout = std::min(timeout, paused);
    }
    int ready = RetryInterrupted([&] { return ::poll(set.data(), set.size(), timeout); });
    if (ready < 1 || !IsRunning()) {
        return;
    }
    // Held for all the work on the connection list, so that CloseConnection on
    // another thread never ends a connection that is in use here; callbacks
    // below may still close connections, since the lock is re-entrant.
    std::lock_guard guard(lock);
    CollectReadyConnections();
    const pollfd& own = set[OWN_SOCKET_SLOT];
    if (mode == LISTEN_TCP_ONCE && (own.revents & POLLPRI) != 0) {
        stopRequested.store(true);
        return;
    }
    if ((own.revents & (POLLIN | POLLERR)) != 0) {
        Accept();
    }
    // Looked up again by id: a callback may have closed any of them, and a
    // connection accepted in this pass was not watched and is passed over.
    for (const ReadyConnection& entry : readyConnections) {
        if (PortConnection* connection = FindReady(entry)) {
            if (mode == LISTEN_TCP_KEEP) {
                ServeKept(connection, entry.events);
            } else if ((entry.events & READABLE_EVENTS) != 0) {
                HandOverOnce(connection);
            }
        }
    }
}

void PortListener::CollectReadyConnections() {
    readyConnections.clear();
    for (std::size_t slot = FIRST_CONNECTION_SLOT; slot < watched.size(); ++slot) {
        if (watched[slot].revents != 0) {
            readyConnections.push_back(ReadyConnection{watchedIds[slot - FIRST_CONNECTION_SLOT],
                                                       watched[slot].fd, watched[slot].revents});
        }
    }
}

PortConnection* PortListener::FindReady(const ReadyConnection& ready) {
    for (PortConnection* connection = connections; connection != nullptr;
         connection = connection->next) {
        if (connection->id == ready.id && connection->socket == ready.socket) {
            return connection;
        }
    }
    return nullptr;
}

int PortListener::CountConnections() {
    int count = 0;
    for (PortConnection* connection = connections; connection != nullptr;
         connection = connection->next) {
        ++count;
    }
    return count;
}

void PortListener::Accept() {
    bool outOfResources = false;
    PortConnection* connection = PortAcceptor::Accept(socket, CountConnections(), outOfResources);
    if (outOfResources) {
        // The connection stays queued and the socket readable: watching it
        // again at once would spin at full speed until a descriptor frees.
        starvedAccepts.fetch_add(1);
        acceptResumes = std::chrono::steady_clock::now() + ACCEPT_PAUSE;
    }
    if (connection == nullptr) {
        return;
    }
    if (acceptCallback != nullptr && acceptCallback(connection) == 0) {
        connection->Release();
        return;
    }
    connection->next = connections;
    connections = connection;
}

void PortListener::ServeKept(PortConnection* connection, short events) {
    bool closed = (events & POLLPRI) != 0;
    if ((events & READABLE_EVENTS) != 0) {
        int received = ReceiveInto(connection);
        if (received > 0) {
            PortConnection* copy = connection->TakeReceptionCopy();
            loans.Lend(copy->socket);
            PushPending(copy);
        } else if (received < 0) {
            closed = true;
        }
    }
    if (closed) {
        std::uint32_t connectionId = connection->id;
        if (disconnectCallback != nullptr) {
            disconnectCallback(connection);
        }
        // By id: the callback may have closed the connection itself.
        CloseConnection(connectionId);
    }
}

void PortListener::HandOverOnce(PortConnection* connection) {
    ReceiveInto(connection);
    Unlink(connection);
    PushPending(connection);
}

void PortListener::Unlink(PortConnection* connection) {
    for (PortConnection** link = &connections; *link != nullptr; link = &(*link)->next) {
        if (*link == connection) {
            *link = connection->next;
            connection->next = nullptr;
            return;
        }
    }
}

void PortListener::EndConnection(PortConnection* connection) {
    if (mode == LISTEN_UDP) {
        EndBorrowingNode(connection);
        return;
    }
    // The poll thread may be waiting on this socket, and its wait keeps the
    // socket alive past close(); shutting it down lets the peer see the close
    // at once.
    ::shutdown(connection->socket, SHUT_RDWR);
    if (mode == LISTEN_TCP_KEEP) {
        loans.Close(connection->socket);
        connection->socket = PORT_NO_SOCKET;
    }
    connection->Release();
}

void PortListener::PushPending(PortConnection* node) {
    if (dispatcherEnded.load()) {
        EndNode(node);
        return;
    }
    if (pendingCount >= PORT_PENDING_LIMIT) {
        droppedReceptions.fetch_add(1);
        EndNode(node);
        return;
    }
    node->next = pending;
    pending = node;
    ++pendingCount;
    // A node whose reception failed is handed over now too, not only with the
    // next successful reception.
    dataReady.store(true);
}

void PortListener::EndNode(PortConnection* node) {
    if (mode == LISTEN_TCP_ONCE) {
        node->Release();
        return;
    }
    if (mode == LISTEN_TCP_KEEP) {
        loans.Return(node->socket);
    }
    EndBorrowingNode(node);
}

int PortListener::ReceiveInto(PortConnection* node) {
    // MSG_TRUNC gives a datagram's true length, so one too large for the
    // buffer fails here instead of arriving cut short. On a stream it would
    // throw the bytes away instead.
    int flags = mode == LISTEN_UDP ? MSG_TRUNC : 0;
    sockaddr_in sender{};
    iovec part{buffer, sizeof buffer};
    // Room for the destination (IP_PKTINFO) that a UDP socket is asked for.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr header{};
    header.msg_name = &sender;
    header.msg_namelen = sizeof sender;
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t received = RetryInterrupted([&] { return ::recvmsg(node->socket, &header, flags); });
    const socklen_t senderLength = header.msg_namelen;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return 0; // nothing to take yet
    }
    if (received < 1 || received > static_cast<ssize_t>(sizeof buffer)) {
        return -1;
    }
    if (mode == LISTEN_UDP) {
        NameSender(sender, senderLength, node->peerName);
        node->toOwnAddress = SentToOwnAddress(header);
    }
    node->StoreReception(buffer, static_cast<int>(received));
    dataReady.store(true);
    return static_cast<int>(received);
}

void PortListener::RunDispatcher() {
    if (PortStopCounter.load() == 0) {
        for (;;) {
            dataReadyEvent->Wait();
            if (dispatcherStop.load()) {
                break;
            }
            PortConnection* batch;
            {
                std::lock_guard guard(lock);
                batch = pending;
                pending = nullptr;
                pendingCount = 0;
            }
            // The pending list is newest first; callers see receptions in the
            // order they arrived, so lines from one peer are not shown reversed.
            DeliverBatch(Reversed(batch));
            if (PortStopCounter.load() != 0) {
                break;
            }
        }
    }
    dispatcherEnded.store(true);
    doneEvent->Set();
}

void PortListener::DeliverBatch(PortConnection* batch) {
    for (PortConnection* node = batch; node != nullptr; node = node->next) {
        PortStopCounter.fetch_add(receiveCallback(node));
    }
    if (batch == nullptr) {
        return;
    }
    std::lock_guard guard(lock);
    while (batch != nullptr) {
        PortConnection* next = batch->next;
        EndNode(batch);
        batch = next;
    }
}

} // namespace kestrane
