#include "port/PortLibrary.h"

#include "port/PortConnection.h"
#include "port/PortListener.h"

#include <atomic>

namespace kestrane {

namespace {

// Linux sockets need no start-up; the count keeps the start/clean-up pairing
// that owners rely on, and lets tests check it.
std::atomic<int> startupCount{0};

} // namespace

int PortStartup() {
    startupCount.fetch_add(1);
    return 0;
}

void PortCleanup() {
    int count = startupCount.load();
    while (count > 0 && !startupCount.compare_exchange_weak(count, count - 1)) {
    }
}

int PortStartupCount() {
    return startupCount.load();
}

int CreatePortConnection(const char* host, int port, int mode, PortNotifyCallback dataCallback,
                         PortNotifyCallback exceptionCallback, PortConnection** out) {
    auto* connection = new PortConnection;
    int result = -1;
    if (mode == PORT_MODE_UDP) {
        result = connection->OpenDatagram(host, port);
    } else if (mode == PORT_MODE_TCP) {
        result = connection->Connect(host, port);
        if (result == 0 && dataCallback != nullptr) {
            connection->StartReader(dataCallback, exceptionCallback);
        }
    }
    if (result != 0) {
        connection->Release();
        return -1;
    }
    *out = connection;
    return 0;
}

void ReleasePortConnection(PortConnection* connection) {
    connection->Release();
}

void ReleasePortListener(PortListener* listener) {
    listener->Release();
}

} // namespace kestrane
