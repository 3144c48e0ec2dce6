#include "port/PortConnection.h"

#include "platform/AutoResetEvent.h"
#include "platform/MessageBox.h"
#include "port/BroadcastFanout.h"
#include "port/HostLookup.h"
#include "port/SocketCalls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

namespace {

/// How long the reader thread waits before it looks at readerRunning again.
constexpr timespec READER_POLL_TIMEOUT{1, 500000};

/// Copies at most PORT_PEER_NAME_LENGTH characters of `name` and a NUL.
void CopyPeerName(char* peerName, const char* name) {
    std::size_t count = strnlen(name, PORT_PEER_NAME_LENGTH);
    std::memcpy(peerName, name, count);
    peerName[count] = '\0';
}

/// The address `host` names, or empty when it neither resolves nor parses.
std::optional<in_addr_t> StreamAddressOf(const char* host) {
    if (std::optional<in_addr_t> address = LookUpHostAddress(host)) {
        return address;
    }
    in_addr_t parsed = inet_addr(host);
    if (parsed == INADDR_NONE) {
        return std::nullopt;
    }
    return parsed;
}

/// connect() that rides out a signal: after EINTR the connection goes on in
/// the background, so its outcome is awaited rather than asked for again. With
/// a `limit`, the socket connects without blocking and the wait is bounded.
/// 0, or -1 with errno saying why.
int ConnectRetrying(PortSocket socket, const sockaddr_in& address,
                    std::chrono::milliseconds limit) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (limit.count() > 0) {
        ::fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    }
    int result = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0 && (errno == EINTR || errno == EINPROGRESS)) {
        pollfd watched{socket, POLLOUT, 0};
        const int waited = RetryInterrupted([&] {
            return ::poll(&watched, 1, limit.count() > 0 ? static_cast<int>(limit.count()) : -1);
        });
        int error = waited == 0 ? ETIMEDOUT : 0;
        socklen_t size = sizeof error;
        if (waited > 0) {
            getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size);
        }
        result = waited < 0 || error != 0 ? -1 : 0;
        errno = waited < 0 ? errno : error;
    }
    const int saved = errno;
    ::fcntl(socket, F_SETFL, flags);
    errno = saved;
    return result;
}

/// Options, address and connect for a new stream socket: 0, or -1.
int ConnectStream(PortSocket socket, const char* host, int port, std::chrono::milliseconds limit) {
    if (SetIntOption(socket, SO_REUSEADDR, 1) != 0) {
        return -1;
    }
    std::optional<in_addr_t> hostAddress = StreamAddressOf(host);
    if (!hostAddress) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = *hostAddress;
    if (SetIntOption(socket, SO_SNDBUF, PORT_STREAM_BUFFER_SIZE) != 0 ||
        SetIntOption(socket, SO_RCVBUF, PORT_STREAM_BUFFER_SIZE) != 0) {
        return -1;
    }
    return ConnectRetrying(socket, address, limit);
}

} // namespace

PortConnection::PortConnection() = default;

PortConnection::~PortConnection() {
    if (wakeDescriptor >= 0) {
        ::close(wakeDescriptor);
    }
}

std::uint32_t PortConnection::GetId() {
    return id;
}

char* PortConnection::GetData() {
    return data.get();
}

char* PortConnection::GetPeerName() {
    return peerName;
}

int PortConnection::GetDataLength() {
    return length;
}

PortSocket PortConnection::GetSocket() {
    return socket;
}

int PortConnection::Receive(char* buffer, int* size, timeval* timeout) {
    int capacity = *size;
    *size = 0;
    if (socket == PORT_NO_SOCKET || capacity < 1 || WaitUntilReadable(socket, timeout) < 1) {
        return -1;
    }
    ssize_t received = RetryInterrupted(
        [&] { return ::recv(socket, buffer, static_cast<std::size_t>(capacity), 0); });
    if (received < 1) {
        return -1;
    }
    *size = static_cast<int>(received);
    return 0;
}

int PortConnection::Send(const char* bytes, int count) {
    if (count < 0) {
        return -1;
    }
    // MSG_NOSIGNAL: a peer that has gone must fail the send, not raise SIGPIPE
    // and end the whole process.
    return static_cast<int>(RetryInterrupted(
        [&] { return ::send(socket, bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL); }));
}

int PortConnection::Transact(const char* request, int requestCount, char* buffer, int* size,
                             timeval* timeout) {
    Send(request, requestCount);
    return Receive(buffer, size, timeout);
}

int PortConnection::Connect(const char* host, int port) {
    if (host == nullptr) {
        return -1;
    }
    PortSocket made = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (made < 0) {
        connectError = errno;
        return -1;
    }
    if (ConnectStream(made, host, port, connectLimit) != 0) {
        connectError = errno;
        ::close(made);
        return -1;
    }
    connectError = 0;
    socket = made;
    CopyPeerName(peerName, host);
    next = nullptr;
    data.reset();
    length = 0;
    return 0;
}

void PortConnection::StartReader(PortNotifyCallback onData, PortNotifyCallback onException) {
    dataCallback = onData;
    exceptionCallback = onException;
    exitEvent = std::make_unique<AutoResetEvent>();
    wakeDescriptor = MakeWakeDescriptor();
    readerRunning.store(1);
    readerThread = std::thread(&PortConnection::RunReader, this);
}

void PortConnection::RunReader() {
    char buffer[PORT_BUFFER_SIZE];
    while (readerRunning.load() == 1) {
        ReadOnce(buffer);
    }
    exitEvent->Set();
}

void PortConnection::ReadOnce(char* buffer) {
    pollfd watched[2] = {{socket, POLLIN | POLLPRI, 0}, {wakeDescriptor, POLLIN, 0}};
    int ready = ::ppoll(watched, 2, &READER_POLL_TIMEOUT, nullptr);
    if (ready < 1 || readerRunning.load() == 0) {
        return;
    }
    short events = watched[0].revents;
    // Urgent data is what the exception set of select reports on a stream;
    // POLLNVAL would otherwise make every later pass return at once.
    bool failed = (events & (POLLPRI | POLLNVAL)) != 0;
    if ((events & (POLLIN | POLLERR | POLLHUP)) != 0) {
        if (ReceiveOnReader(buffer) > 0) {
            if (dataCallback != nullptr) {
                dataCallback(this);
            }
        } else {
            failed = true;
        }
    }
    if (failed) {
        EndReaderOnFailure();
    }
}

void PortConnection::EndReaderOnFailure() {
    if (exceptionCallback != nullptr) {
        exceptionCallback(this);
    }
    Close();
    readerRunning.store(0);
}

int PortConnection::ReceiveOnReader(char* buffer) {
    ssize_t received =
        RetryInterrupted([&] { return ::recv(socket, buffer, PORT_BUFFER_SIZE, 0); });
    if (received < 1) {
        return -1;
    }
    StoreReception(buffer, static_cast<int>(received));
    return static_cast<int>(received);
}

void PortConnection::Close() {
    if (socket != PORT_NO_SOCKET) {
        ::close(socket);
        socket = PORT_NO_SOCKET;
    }
}

void PortConnection::Release() {
    if (readerRunning.exchange(0) == 1) {
        WakeWaiter(wakeDescriptor);
        exitEvent->Wait();
    }
    if (readerThread.joinable()) {
        readerThread.join();
    }
    Close();
    delete this;
}

int PortConnection::OpenDatagram(const char* host, int port) {
    Close();
    socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        socket = PORT_NO_SOCKET;
        return -1;
    }
    if (host == nullptr) {
        int enable = 1;
        setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
    }
    destination = sockaddr_in{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<std::uint16_t>(port));
    destination.sin_addr.s_addr = host == nullptr ? INADDR_BROADCAST : HostAddressOrInetAddr(host);
    aimedAtEverybody = host == nullptr;
    return 0;
}

int PortConnection::SendDatagram(const char* bytes, int count) {
    if (TrySendDatagram(bytes, count)) {
        return count;
    }
    ShowMessageBox("IPORT Error.", "sendto");
    return -1;
}

bool PortConnection::TrySendDatagram(const char* bytes, int count) {
    if (aimedAtEverybody && BroadcastFanout::Process().Active()) {
        return BroadcastFanout::Process().Send(socket, ntohs(destination.sin_port), bytes, count);
    }
    ssize_t sent;
    do {
        sent = ::sendto(socket, bytes, static_cast<std::size_t>(count), 0,
                        reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    } while (sent < 0 && errno == EINTR);
    return sent == count;
}

bool PortConnection::TrySendDatagramOn(unsigned interfaceIndex, const char* bytes, int count) {
    return aimedAtEverybody &&
           BroadcastFanout::Process().SendOn(interfaceIndex, socket, ntohs(destination.sin_port),
                                             bytes, count);
}

void PortConnection::StoreReception(const char* bytes, int count) {
    auto block = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(count) + 1);
    std::memcpy(block.get(), bytes, static_cast<std::size_t>(count));
    block[static_cast<std::size_t>(count)] = '\0';
    data = std::move(block);
    length = count;
}

PortConnection* PortConnection::TakeReceptionCopy() {
    auto* copy = new PortConnection;
    copy->socket = socket;
    std::memcpy(copy->peerName, peerName, sizeof peerName);
    copy->toOwnAddress = toOwnAddress;
    copy->id = id;
    copy->data = std::move(data);
    copy->length = length;
    length = 0;
    return copy;
}

} // namespace kestrane
