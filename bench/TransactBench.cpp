// Runs Transact request/answer round trips against a LISTEN_TCP_KEEP listener
// whose receive callback echoes each reception on its borrowed socket and, in
// the same run, the same round trips between two plain blocking sockets with an
// echo thread; prints both rates and their ratio.
//   kestrane_transact_bench           the full run
//   kestrane_transact_bench --short   a quick run that only checks it works

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

constexpr int REQUEST_SIZE = 64;

std::int32_t Echo(kestrane::PortConnection* node) {
    if (node->GetData() != nullptr) {
        node->Send(node->GetData(), node->GetDataLength());
    }
    return 0;
}

int LocalPort(int descriptor) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

/// Round trips per second of Transact against a LISTEN_TCP_KEEP echo; 0 when
/// something failed.
double TransactRate(Clock::duration duration) {
    kestrane::PortStartup();
    kestrane::PortListener* listener = nullptr;
    if (kestrane::CreatePortListener(kestrane::LISTEN_TCP_KEEP, 0, Echo, nullptr, nullptr,
                                     &listener) != 0) {
        std::fprintf(stderr, "cannot make the listener\n");
        return 0;
    }
    kestrane::PortConnection* client = nullptr;
    if (kestrane::CreatePortConnection("127.0.0.1", LocalPort(listener->socket),
                                       kestrane::PORT_MODE_TCP, nullptr, nullptr, &client) != 0) {
        std::fprintf(stderr, "cannot connect to the listener\n");
        listener->Release();
        return 0;
    }
    char request[REQUEST_SIZE];
    std::memset(request, 'k', sizeof request);
    char answer[kestrane::PORT_BUFFER_SIZE];
    long trips = 0;
    bool failed = false;
    Clock::time_point start = Clock::now();
    while (!failed && Clock::now() - start < duration) {
        int size = sizeof answer;
        timeval timeout{2, 0};
        failed = client->Transact(request, REQUEST_SIZE, answer, &size, &timeout) != 0 ||
                 size != REQUEST_SIZE;
        trips += failed ? 0 : 1;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    client->Release();
    listener->Release();
    if (failed) {
        std::fprintf(stderr, "a Transact round trip failed after %ld trips\n", trips);
        return 0;
    }
    return static_cast<double>(trips) / seconds;
}

/// Round trips per second between two plain blocking sockets, one of them
/// echoed by a thread of its own.
double PlainRate(Clock::duration duration) {
    int listening = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = kestrane::test::LoopbackAddress("127.0.0.1", 0);
    bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listening, 1);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    address = kestrane::test::LoopbackAddress("127.0.0.1", LocalPort(listening));
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int served = accept(listening, nullptr, nullptr);
    std::thread echo([served] {
        char buffer[kestrane::PORT_BUFFER_SIZE];
        ssize_t received;
        while ((received = recv(served, buffer, sizeof buffer, 0)) > 0) {
            send(served, buffer, static_cast<std::size_t>(received), MSG_NOSIGNAL);
        }
    });
    char request[REQUEST_SIZE];
    std::memset(request, 'k', sizeof request);
    char answer[kestrane::PORT_BUFFER_SIZE];
    long trips = 0;
    Clock::time_point start = Clock::now();
    while (Clock::now() - start < duration) {
        send(client, request, sizeof request, MSG_NOSIGNAL);
        if (recv(client, answer, sizeof answer, 0) != REQUEST_SIZE) {
            break;
        }
        ++trips;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    shutdown(client, SHUT_RDWR);
    echo.join();
    close(served);
    close(client);
    close(listening);
    return static_cast<double>(trips) / seconds;
}

} // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    int runs = quick ? 1 : 5;
    Clock::duration each = quick ? 100ms : 1s;

    std::vector<double> transactRates;
    std::vector<double> plainRates;
    std::vector<double> ratios;
    for (int run = 0; run < runs; ++run) {
        double plain = PlainRate(each);
        double transact = TransactRate(each);
        plainRates.push_back(plain);
        transactRates.push_back(transact);
        ratios.push_back(plain > 0 ? transact / plain : 0);
    }

    auto [plainMin, plainMax] = std::minmax_element(plainRates.begin(), plainRates.end());
    auto [transactMin, transactMax] =
        std::minmax_element(transactRates.begin(), transactRates.end());
    auto [ratioMin, ratioMax] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("request/answer round trips, %d-byte requests on loopback, %d run(s) of %.1f s "
                "(min / median / max round trips per second):\n",
                REQUEST_SIZE, runs, std::chrono::duration<double>(each).count());
    std::printf("  plain blocking sockets       : %8.0f / %8.0f / %8.0f\n", *plainMin,
                kestrane::bench::Median(plainRates), *plainMax);
    std::printf("  Transact to LISTEN_TCP_KEEP  : %8.0f / %8.0f / %8.0f\n", *transactMin,
                kestrane::bench::Median(transactRates), *transactMax);
    std::printf("  ratio Transact / plain       : %.2f / %.2f / %.2f (target at least 0.70)\n",
                *ratioMin, kestrane::bench::Median(ratios), *ratioMax);
    return *transactMin > 0 ? 0 : 1;
}
