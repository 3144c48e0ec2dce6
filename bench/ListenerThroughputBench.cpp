// Blasts 100-byte datagrams on loopback at a LISTEN_UDP listener and, in the
// same run, at a plain blocking recv() loop, and prints both delivered rates and
// their ratio; then checks that a sustained 20,000 datagrams per second for 5 s
// reach the receive callback without loss.
//   kestrane_listener_bench           the full run
//   kestrane_listener_bench --short   a quick run that only checks it works

#include "bench/BenchStatistics.h"
#include "port/port.h"
#include "tests/support/LoopbackAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int DATAGRAM_SIZE = 100;
std::atomic<long> delivered{0};

std::int32_t CountDelivery(kestrane::PortConnection* node) {
    if (node->GetData() != nullptr) {
        delivered.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

int BoundLoopbackSocket(int* port) {
    int descriptor = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = kestrane::test::LoopbackAddress("127.0.0.1", 0);
    bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    return descriptor;
}

int FreePort() {
    int port = 0;
    close(BoundLoopbackSocket(&port));
    return port;
}

/// Sends as fast as it can for `duration`, or `perMillisecond` datagrams each
/// millisecond when that is not 0. Returns the number sent.
long Blast(int port, Clock::duration duration, int perMillisecond) {
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in target = kestrane::test::LoopbackAddress("127.0.0.1", port);
    char payload[DATAGRAM_SIZE];
    std::memset(payload, 'k', sizeof payload);
    long sent = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point next = start;
    while (Clock::now() - start < duration) {
        int burst = perMillisecond == 0 ? 64 : perMillisecond;
        for (int index = 0; index < burst; ++index) {
            if (sendto(sender, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&target),
                       sizeof target) == DATAGRAM_SIZE) {
                ++sent;
            }
        }
        if (perMillisecond != 0) {
            next += 1ms;
            std::this_thread::sleep_until(next);
        }
    }
    close(sender);
    return sent;
}

double ListenerRate(Clock::duration duration) {
    int port = FreePort();
    kestrane::PortStartup();
    kestrane::PortListener* listener = nullptr;
    if (kestrane::CreatePortListener(kestrane::LISTEN_UDP, port, CountDelivery, nullptr, nullptr,
                                     &listener) != 0) {
        std::fprintf(stderr, "cannot make the listener\n");
        return 0;
    }
    delivered = 0;
    Clock::time_point start = Clock::now();
    Blast(port, duration, 0);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long count = delivered.load();
    listener->Release();
    return static_cast<double>(count) / seconds;
}

double PlainRecvRate(Clock::duration duration) {
    int port = 0;
    int receiver = BoundLoopbackSocket(&port);
    int size = kestrane::PORT_UDP_BUFFER_SIZE;
    setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    timeval timeout{0, 200000};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::atomic<long> received{0};
    std::atomic<bool> sending{true};
    std::thread loop([&] {
        char buffer[kestrane::PORT_BUFFER_SIZE];
        while (sending.load(std::memory_order_relaxed)) {
            if (recv(receiver, buffer, sizeof buffer, 0) > 0) {
                received.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    Clock::time_point start = Clock::now();
    Blast(port, duration, 0);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long count = received.load();
    sending = false;
    loop.join();
    close(receiver);
    return static_cast<double>(count) / seconds;
}

/// Sends `perSecond` datagrams a second for `duration`; returns sent - delivered.
long SustainedLoss(int perSecond, Clock::duration duration, long* sentOut) {
    int port = FreePort();
    kestrane::PortStartup();
    kestrane::PortListener* listener = nullptr;
    kestrane::CreatePortListener(kestrane::LISTEN_UDP, port, CountDelivery, nullptr, nullptr,
                                 &listener);
    delivered = 0;
    long sent = Blast(port, duration, perSecond / 1000);
    for (int wait = 0; wait < 100 && delivered.load() < sent; ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    long count = delivered.load();
    listener->Release();
    *sentOut = sent;
    return sent - count;
}

} // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    int runs = quick ? 1 : 5;
    Clock::duration blast = quick ? 100ms : 1s;
    Clock::duration sustained = quick ? 200ms : 5s;

    std::vector<double> listenerRates;
    std::vector<double> plainRates;
    std::vector<double> ratios;
    for (int run = 0; run < runs; ++run) {
        double plain = PlainRecvRate(blast);
        double listener = ListenerRate(blast);
        plainRates.push_back(plain);
        listenerRates.push_back(listener);
        ratios.push_back(plain > 0 ? listener / plain : 0);
    }
    long sent = 0;
    long lost = SustainedLoss(20000, sustained, &sent);

    auto minmax = [](const std::vector<double>& values) {
        return std::minmax_element(values.begin(), values.end());
    };
    auto [plainMin, plainMax] = minmax(plainRates);
    auto [listenerMin, listenerMax] = minmax(listenerRates);
    std::printf("listener throughput, %d-byte datagrams on loopback, %d run(s) "
                "(min / median / max datagrams per second):\n",
                DATAGRAM_SIZE, runs);
    std::printf("  plain blocking recv loop : %9.0f / %9.0f / %9.0f\n", *plainMin,
                kestrane::bench::Median(plainRates), *plainMax);
    std::printf("  LISTEN_UDP to callback   : %9.0f / %9.0f / %9.0f\n", *listenerMin,
                kestrane::bench::Median(listenerRates), *listenerMax);
    std::printf("  ratio listener / plain   : median %.2f (target at least 0.50)\n",
                kestrane::bench::Median(ratios));
    std::printf("sustained 20000/s for %.1f s: sent %ld, lost %ld (target 0)\n",
                std::chrono::duration<double>(sustained).count(), sent, lost);
    return 0;
}
