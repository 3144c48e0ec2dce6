#include "port/PortListener.h"

#include "platform/AutoResetEvent.h"
#include "port/PortConnection.h"
#include "port/PortLibrary.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/eventfd.h>
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

int SetIntOption(PortSocket socket, int option, int value) {
    return setsockopt(socket, SOL_SOCKET, option, &value, sizeof value);
}

/// Ends a node that only borrowed its socket, without closing that socket.
void EndBorrowingNode(PortConnection* node) {
    node->socket = PORT_NO_SOCKET;
    node->Release();
}

/// Ends every node of a list; `ownSockets` says whether they own their sockets.
void EndList(PortConnection*& head, bool ownSockets) {
    while (head != nullptr) {
        PortConnection* next = head->next;
        if (ownSockets) {
            head->Release();
        } else {
            EndBorrowingNode(head);
        }
        head = next;
    }
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
      doneEvent(std::make_unique<AutoResetEvent>()),
      wakeDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PortListener::~PortListener() {
    dataReadyEvent.reset();
    doneEvent.reset();
    // Connections own their sockets in the TCP modes; UDP nodes, and the
    // pending copies of LISTEN_TCP_KEEP, only borrow one.
    EndList(connections, mode != LISTEN_UDP);
    EndList(pending, mode == LISTEN_TCP_ONCE);
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
    WakePoll();
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
    for (PortConnection** link = &connections; *link != nullptr; link = &(*link)->next) {
        PortConnection* connection = *link;
        if (connection->id == connectionId) {
            *link = connection->next;
            connection->Release();
            return 0;
        }
    }
    return -1;
}

int PortListener::SetUpUdp(int port) {
    socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        socket = PORT_NO_SOCKET;
        return -1;
    }
    if (SetIntOption(socket, SO_REUSEADDR, 1) != 0) {
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
    if (SetIntOption(socket, SO_SNDBUF, PORT_UDP_BUFFER_SIZE) != 0 ||
        SetIntOption(socket, SO_RCVBUF, PORT_UDP_BUFFER_SIZE) != 0) {
        return -1;
    }
    int nonBlocking = 1;
    ioctl(socket, FIONBIO, &nonBlocking);
    return 0;
}

int PortListener::SetUpTcp(int /*port*/) {
    return -1;
}

void PortListener::WakePoll() {
    if (wakeDescriptor >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeDescriptor, &one, sizeof one);
    }
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
    EndList(pending, mode == LISTEN_TCP_ONCE);
}

std::vector<pollfd>& PortListener::BuildWatchSet() {
    watched.clear();
    int watchedConnections = 0;
    for (PortConnection* connection = connections;
         connection != nullptr && watchedConnections < PORT_WATCH_SET_SIZE;
         connection = connection->next, ++watchedConnections) {
        watched.push_back(pollfd{connection->socket, POLLIN | POLLPRI, 0});
    }
    if (watchedConnections < PORT_WATCH_SET_SIZE) {
        short events = POLLIN;
        if (mode != LISTEN_TCP_KEEP) {
            events |= POLLPRI;
        }
        watched.push_back(pollfd{socket, events, 0});
    }
    watched.push_back(pollfd{wakeDescriptor, POLLIN, 0});
    return watched;
}

void PortListener::PollUdp() {
    std::vector<pollfd>& set = BuildWatchSet();
    int ready = ::poll(set.data(), set.size(), UDP_POLL_TIMEOUT_MS);
    if (ready < 1 || !IsRunning()) {
        return;
    }
    const pollfd& own = set[set.size() - 2];
    if ((own.revents & POLLPRI) != 0) {
        stopRequested.store(true);
        return;
    }
    if ((own.revents & (POLLIN | POLLERR)) == 0) {
        return;
    }
    std::lock_guard guard(lock);
    auto* node = new PortConnection;
    node->socket = socket;
    node->next = connections;
    connections = node;
    ReceiveInto(node);
    connections = node->next;
    if (dispatcherEnded.load()) {
        EndBorrowingNode(node);
        return;
    }
    node->next = pending;
    pending = node;
}

void PortListener::PollTcp() {}

int PortListener::ReceiveInto(PortConnection* node) {
    ssize_t received;
    do {
        received = ::recv(node->socket, buffer, sizeof buffer, MSG_TRUNC);
    } while (received < 0 && errno == EINTR);
    // MSG_TRUNC gives a datagram's true length, so one too large for the
    // buffer fails here instead of arriving cut short.
    if (received < 1 || received > static_cast<ssize_t>(sizeof buffer)) {
        return -1;
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
        if (mode != LISTEN_TCP_ONCE) {
            node->socket = PORT_NO_SOCKET;
        }
    }
    while (batch != nullptr) {
        PortConnection* next = batch->next;
        batch->Release();
        batch = next;
    }
}

} // namespace kestrane
