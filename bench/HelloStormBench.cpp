// Hello storm: a whole LAN greets at once. Hellos from N distinct names, each
// from an address of its own, go back to back to a running main window
// (offscreen, network on loopback in a network namespace of its own when it
// can, root); each must end up in the roster, up to the roster's 1,024 hosts.
// The window answers only a few hellos a second in all, so the answers are
// counted, not required. 20 storms of 250, 5 of 1,000, then larger storms until one
// loses something: the largest storm with no loss.
//   kestrane_storm_bench           the full run
//   kestrane_storm_bench --short   a quick run that only checks it works
//   kestrane_storm_bench --receive-buffer BYTES
//                                  the full run, the listener's socket asking
//                                  for another SO_RCVBUF once it is made
#include "bench/BenchStatistics.h"
#include "bench/DatagramTap.h"
#include "bench/LoopbackRig.h"
#include "chat/chat.h"
#include "core/threads/QtThreadSanitizerOptions.h"
#include "port/SocketCalls.h"
#include "port/port.h"
#include "tests/support/LoopbackAddress.h"
#include "tests/support/PrivateNetwork.h"
#include "ui/CTavrinDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char OWN_NAME[] = "BENCH";
// A storm is over when nothing has changed for this long.
constexpr auto QUIET_TIME = 2s;
constexpr auto STORM_TIME_LIMIT = 60s;

std::string Datagram(std::uint8_t type, const std::string& name, std::string_view text) {
    std::vector<char> bytes(kestrane::CHAT_MAX_DATAGRAM);
    const int count = kestrane::ComposeDatagram(bytes, type, name, text);
    return {bytes.data(), static_cast<std::size_t>(count)};
}

/// UDP datagrams this network namespace dropped for want of socket buffer.
long ReceiveBufferErrors() {
    std::ifstream snmp("/proc/net/snmp");
    std::string header;
    std::string values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Udp:", 0) != 0) {
            continue;
        }
        std::istringstream names(header);
        std::istringstream numbers(values);
        std::string name;
        std::string number;
        while (names >> name && numbers >> number) {
            if (name == "RcvbufErrors") {
                return std::stol(number);
            }
        }
    }
    return -1;
}

/// The source address of host `index` of a storm: 127.1.0.1 onwards, one per
/// host (the whole of 127.0.0.0/8 is this machine's loopback).
in_addr SourceAddress(std::size_t index) {
    in_addr address{};
    address.s_addr = htonl((127u << 24) + (1u << 16) + 1 + static_cast<std::uint32_t>(index));
    return address;
}

/// Sends `datagram` to `target` from `source` without binding to it.
void SendFrom(int socket, in_addr source, sockaddr_in& target, const std::string& datagram) {
    kestrane::SendWithPacketInfo(socket, target, datagram.data(), datagram.size(), 0,
                                 source.s_addr);
}

/// Runs the UI thread's event loop until `done` holds, checking every few ms.
void RunEventsUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    check.start(5);
    loop.exec();
}

struct Storm {
    int size = 0;
    long answers = 0;
    int listed = 0;
    long bufferDrops = 0;
    double settledMs = 0;
    int Listable() const { return std::min(size, kestrane::CTavrinDlg::kMostHosts); }
    bool Lossless() const { return listed == Listable(); }
};

// SO_RCVBUF asked of the listener's socket after network start; 0 leaves it.
int askedReceiveBuffer = 0;
// What the kernel gave the listener's socket, in bytes (twice what was asked).
int grantedReceiveBuffer = 0;

void SetReceiveBuffer(kestrane::bench::LoopbackWindow& window) {
    if (window.Session().Listener() == nullptr) {
        return;
    }
    const int socket = window.Session().Listener()->socket;
    if (askedReceiveBuffer > 0) {
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &askedReceiveBuffer, sizeof askedReceiveBuffer);
    }
    socklen_t size = sizeof grantedReceiveBuffer;
    getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &grantedReceiveBuffer, &size);
}

Storm RunStorm(int size, int round) {
    Storm storm;
    storm.size = size;
    const int port = kestrane::test::FreeUdpPort();
    kestrane::bench::DatagramTap everyone(
        port, Datagram(kestrane::CHAT_ONLINE, OWN_NAME, kestrane::CHAT_ONLINE_TEXT));
    kestrane::bench::LoopbackRig rig(port, OWN_NAME);
    kestrane::bench::LoopbackWindow& window = rig.Window();
    window.show();
    SetReceiveBuffer(window);
    RunEventsUntil([&] { return everyone.Total() >= 1; }); // its own hello

    std::vector<std::string> hellos;
    for (int index = 0; index < size; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "R%02dHOST%05d", round % 100, index);
        hellos.push_back(Datagram(kestrane::CHAT_HELLO, name, kestrane::CHAT_HELLO_TEXT));
    }
    const long dropsBefore = ReceiveBufferErrors();
    const Clock::time_point start = Clock::now();
    std::thread host([&] {
        int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in target = kestrane::test::LoopbackAddress("127.0.0.2", port);
        for (std::size_t index = 0; index < hellos.size(); ++index) {
            SendFrom(sender, SourceAddress(index), target, hellos[index]);
        }
        ::close(sender);
    });
    host.join();

    Clock::time_point lastChange = Clock::now();
    Clock::time_point settled = lastChange;
    long answers = 0;
    int listed = 0;
    RunEventsUntil([&] {
        const long nowAnswers = everyone.Matches();
        const int nowListed = window.roster->count() - 1;
        const Clock::time_point now = Clock::now();
        if (nowAnswers != answers || nowListed != listed) {
            answers = nowAnswers;
            listed = nowListed;
            lastChange = settled = now;
        }
        return listed >= storm.Listable() || now - lastChange > QUIET_TIME ||
               now - start > STORM_TIME_LIMIT;
    });
    storm.answers = answers;
    storm.listed = listed;
    storm.bufferDrops = ReceiveBufferErrors() - dropsBefore;
    storm.settledMs = std::chrono::duration<double, std::milli>(settled - start).count();
    return storm;
}

struct Series {
    int size = 0;
    std::vector<Storm> storms;
    int Lossless() const {
        int count = 0;
        for (const Storm& storm : storms) {
            count += storm.Lossless() ? 1 : 0;
        }
        return count;
    }
};

Series RunSeries(int size, int runs, int* round) {
    Series series;
    series.size = size;
    for (int run = 0; run < runs; ++run) {
        series.storms.push_back(RunStorm(size, (*round)++));
    }
    return series;
}

void Report(const Series& series) {
    std::vector<double> answers;
    std::vector<double> listed;
    std::vector<double> settled;
    long drops = 0;
    for (const Storm& storm : series.storms) {
        answers.push_back(static_cast<double>(storm.answers));
        listed.push_back(storm.listed);
        settled.push_back(storm.settledMs);
        drops += storm.bufferDrops;
    }
    using kestrane::bench::Largest;
    using kestrane::bench::Median;
    using kestrane::bench::Smallest;
    std::printf("  %5d hellos x %2zu: no loss in %2d; answers %5.0f/%5.0f/%5.0f, roster "
                "%5.0f/%5.0f/%5.0f, settled in %6.0f/%6.0f/%6.0f ms; socket drops %ld\n",
                series.size, series.storms.size(), series.Lossless(), Smallest(answers),
                Median(answers), Largest(answers), Smallest(listed), Median(listed),
                Largest(listed), Smallest(settled), Median(settled), Largest(settled), drops);
}

} // namespace

int main(int argc, char** argv) {
    const bool privateNetwork = kestrane::test::EnterPrivateNetwork();
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    if (argc > 2 && std::strcmp(argv[1], "--receive-buffer") == 0) {
        askedReceiveBuffer = std::atoi(argv[2]);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    std::printf("hello storm into one main window, in-process on loopback%s\n",
                privateNetwork ? " in a private network namespace" : "");
    std::printf("  (min/median/max over the storms of each size)\n");
    int round = 0;
    std::vector<Series> all;
    if (quick) {
        all.push_back(RunSeries(100, 1, &round));
        Report(all.back());
    } else {
        for (const auto& [size, runs] : {std::pair{250, 20}, std::pair{1000, 5}}) {
            all.push_back(RunSeries(size, runs, &round));
            Report(all.back());
        }
        for (int size : {1500, 2000, 2500, 3000, 4000, 6000}) {
            all.push_back(RunSeries(size, 3, &round));
            Report(all.back());
            if (all.back().Lossless() < 3) {
                break;
            }
        }
    }
    std::printf("  the listener's socket buffer: %d bytes%s\n", grantedReceiveBuffer,
                askedReceiveBuffer > 0 ? " (asked for after network start)" : "");
    // Largest storm lossless every time it was sent, and in at least one run.
    int largest = 0;
    int largestOnce = 0;
    bool allLossless = true;
    for (const Series& series : all) {
        allLossless = allLossless && series.Lossless() == static_cast<int>(series.storms.size());
        if (allLossless) {
            largest = series.size;
        }
        if (series.Lossless() > 0) {
            largestOnce = std::max(largestOnce, series.size);
        }
    }
    std::printf("  250 of 250 in %d of %zu storms (target 20 of 20); largest storm with no "
                "loss: %d (in every run), %d (in one run at least)\n",
                all.front().size == 250 ? all.front().Lossless() : 0,
                all.front().size == 250 ? all.front().storms.size() : 0, largest, largestOnce);
    return 0;
}
