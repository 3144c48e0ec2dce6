#include "port/PortConnection.h"

#include "platform/AutoResetEvent.h"
#include "platform/MessageBox.h"
#include "port/HostLookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

PortConnection::PortConnection() = default;

PortConnection::~PortConnection() = default;

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

int PortConnection::Receive(char* /*buffer*/, int* size, timeval* /*timeout*/) {
    *size = 0;
    return -1;
}

int PortConnection::Send(const char* /*data*/, int /*count*/) {
    return -1;
}

int PortConnection::Transact(const char* /*request*/, int /*requestCount*/, char* /*buffer*/,
                             int* size, timeval* /*timeout*/) {
    *size = 0;
    return -1;
}

int PortConnection::Connect(const char* /*host*/, int /*port*/) {
    return -1;
}

void PortConnection::StartReader(PortNotifyCallback /*onData*/,
                                 PortNotifyCallback /*onException*/) {}

void PortConnection::Close() {
    if (socket != PORT_NO_SOCKET) {
        ::close(socket);
        socket = PORT_NO_SOCKET;
    }
}

void PortConnection::Release() {
    if (readerRunning.exchange(0) == 1) {
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
    return 0;
}

int PortConnection::SendDatagram(const char* bytes, int count) {
    ssize_t sent;
    do {
        sent = ::sendto(socket, bytes, static_cast<std::size_t>(count), 0,
                        reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    } while (sent < 0 && errno == EINTR);
    if (sent == count) {
        return count;
    }
    ShowMessageBox("IPORT Error.", "sendto");
    return -1;
}

void PortConnection::StoreReception(const char* bytes, int count) {
    auto block = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(count) + 1);
    std::memcpy(block.get(), bytes, static_cast<std::size_t>(count));
    block[static_cast<std::size_t>(count)] = '\0';
    data = std::move(block);
    length = count;
}

} // namespace kestrane
