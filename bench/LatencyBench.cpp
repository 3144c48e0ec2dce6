// End-to-end latency of an incoming line: a sender stamps text datagrams and
// sends them one at a time to a running main window (offscreen, network on
// loopback); each is timed from just before its sendto until the main window's
// handler has appended the line and the dispatcher has its answer. In the same
// run the same datagrams go to a plain blocking recv loop, the raw UDP one-way
// time. The window sits in the tray, as the program does; a shorter second
// series keeps it on screen, where every line is also painted; a third keeps it
// in the tray while a file moves through the same UI thread (both ends of a
// loopback transfer and the transfers dialog). Runs in a network namespace of
// its own when it can (root).
//   kestrane_latency_bench           the full run: 10,000 lines each way
//   kestrane_latency_bench --short   a quick run that only checks it works
//   kestrane_latency_bench --on-screen   only the window on screen, 20,000
//                                        lines, for a profiler
#include "bench/BenchStatistics.h"
#include "bench/DatagramTap.h"
#include "bench/LoopbackRig.h"
#include "bench/LoopbackTransfer.h"
#include "chat/ChatWindow.h"
#include "chat/chat.h"
#include "core/threads/QtThreadSanitizerOptions.h"
#include "core/threads/UiBridge.h"
#include "tests/support/LoopbackAddress.h"
#include "tests/support/PrivateNetwork.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using kestrane::test::LoopbackAddress;

constexpr std::string_view STAMP = "stamp ";
constexpr int WARM_UP_LINES = 200;
constexpr auto LINE_TIME_LIMIT = 2s;

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

/// Collects one latency per line, in microseconds; the sender waits on it for
/// each line before it sends the next. Safe to use from any thread.
class LineClock {
public:
    /// Takes the stamp out of `text`, the time now minus the stamp.
    void Arrived(std::string_view text) {
        const std::int64_t arrived = Now();
        const std::size_t at = text.find(STAMP);
        std::int64_t stamp = 0;
        if (at == std::string_view::npos ||
            std::from_chars(text.data() + at + STAMP.size(), text.data() + text.size(), stamp).ec !=
                std::errc()) {
            return;
        }
        bool counted = false;
        {
            std::lock_guard guard(mutex);
            counted = recording;
            if (recording) {
                samples.push_back(static_cast<double>(arrived - stamp) / 1000.0);
            }
            ++arrivals;
            changed.notify_all();
        }
        if (logged && counted) {
            logged(stamp);
        }
    }

    /// Called with the stamp of each line recorded as it arrives, on the
    /// arriving thread; set before the first line.
    std::function<void(std::int64_t stamp)> logged;

    /// Waits until `count` lines have arrived in all; false on time-out.
    bool WaitFor(long count) {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, LINE_TIME_LIMIT, [&] { return arrivals >= count; });
    }

    long Arrivals() {
        std::lock_guard guard(mutex);
        return arrivals;
    }

    void Record(bool on) {
        std::lock_guard guard(mutex);
        recording = on;
    }

    std::vector<double> Samples() {
        std::lock_guard guard(mutex);
        return samples;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<double> samples; // guarded by mutex
    long arrivals = 0;           // guarded by mutex
    bool recording = false;      // guarded by mutex
};

/// What the incoming handler talks to, timed: a line counts as arrived when
/// the main window's handler has run on the UI thread. The stamp is posted
/// through the bridge behind the window's own handling of the line, so it runs
/// right after it. Called on the dispatcher thread.
class TimedWindow : public kestrane::ChatWindow {
public:
    TimedWindow(kestrane::ChatWindow& innerWindow, kestrane::UiBridge& uiBridge,
                LineClock& lineClock)
        : inner(innerWindow), bridge(uiBridge), clock(lineClock) {}

    void AddPeer(const std::string& name, const std::string& address) override {
        inner.AddPeer(name, address);
    }
    void RemovePeer(const std::string& name) override { inner.RemovePeer(name); }
    void ShowText(const kestrane::ChatMessage& message, const std::string& address) override {
        inner.ShowText(message, address);
        bridge.Post([this, text = std::string(message.GetText())] { clock.Arrived(text); });
    }
    void LinesDropped() override { inner.LinesDropped(); }
    void ShowFileNotice(const kestrane::ChatMessage& message, const std::string& address) override {
        inner.ShowFileNotice(message, address);
    }
    void ShowDeliveryNotice(const kestrane::ChatMessage& message,
                            const std::string& address) override {
        inner.ShowDeliveryNotice(message, address);
    }
    void HelloHeard(const std::string& name, const std::string& address) override {
        inner.HelloHeard(name, address);
    }

private:
    kestrane::ChatWindow& inner;
    kestrane::UiBridge& bridge;
    LineClock& clock;
};

/// Sends `count` stamped text datagrams to `target`, each once the one before
/// has arrived; returns how many never did.
long SendLines(const sockaddr_in& target, int count, LineClock& clock) {
    int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<char> datagram(kestrane::CHAT_MAX_DATAGRAM);
    long lost = 0;
    for (int line = 0; line < count; ++line) {
        const long arrived = clock.Arrivals();
        const std::string text = std::string(STAMP) + std::to_string(Now()) +
                                 " a line of chat, about as long as people type\r\n";
        const int size = kestrane::ComposeText(datagram, "PC2.LAN.TEST", text);
        ::sendto(sender, datagram.data(), static_cast<std::size_t>(size), 0,
                 reinterpret_cast<const sockaddr*>(&target), sizeof target);
        if (!clock.WaitFor(arrived + 1)) {
            ++lost;
        }
    }
    ::close(sender);
    return lost;
}

/// A plain blocking recv loop on 127.0.0.1, the raw one-way reference.
class RawReceiver {
public:
    explicit RawReceiver(LineClock& lineClock)
        : clock(lineClock), descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = LoopbackAddress("127.0.0.1", 0);
        bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
        target = address;
        timeval timeout{0, 100000};
        setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        loop = std::thread([this] { Run(); });
    }
    ~RawReceiver() {
        stopping.store(true);
        loop.join();
        ::close(descriptor);
    }
    RawReceiver(const RawReceiver&) = delete;
    RawReceiver& operator=(const RawReceiver&) = delete;

    sockaddr_in target{};
    LineClock& clock;

private:
    void Run() {
        std::vector<char> buffer(kestrane::CHAT_MAX_DATAGRAM);
        while (!stopping.load()) {
            ssize_t count = ::recv(descriptor, buffer.data(), buffer.size(), 0);
            if (count > kestrane::CHAT_TEXT_OFFSET) {
                clock.Arrived(
                    std::string_view(buffer.data() + kestrane::CHAT_TEXT_OFFSET,
                                     static_cast<std::size_t>(count) - kestrane::CHAT_TEXT_OFFSET));
            }
        }
    }

    int descriptor;
    std::atomic<bool> stopping{false};
    std::thread loop;
};

/// Times each line from its sendto to the end of the first repaint of the log
/// that shows it; a repaint shows every line up to the last one the control
/// holds. UI thread only.
class PaintClock : public QObject {
public:
    explicit PaintClock(QPlainTextEdit& log) : edit(log) {
        edit.viewport()->installEventFilter(this);
    }

    void Logged(std::int64_t stamp) { unpainted.push_back(stamp); }
    std::vector<double> samples;

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            // Runs once the repaint and the flush that follows it are done.
            QMetaObject::invokeMethod(
                this, [this, shown = NewestShown()] { Painted(shown); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    std::int64_t NewestShown() const {
        for (QTextBlock block = edit.document()->lastBlock(); block.isValid();
             block = block.previous()) {
            const QString text = block.text();
            const qsizetype at = text.indexOf(QLatin1String(STAMP.data(), STAMP.size()));
            if (at >= 0) {
                return text.mid(at + static_cast<qsizetype>(STAMP.size()))
                    .section(' ', 0, 0)
                    .toLongLong();
            }
        }
        return 0;
    }

    void Painted(std::int64_t shown) {
        const std::int64_t now = Now();
        while (!unpainted.empty() && unpainted.front() <= shown) {
            samples.push_back(static_cast<double>(now - unpainted.front()) / 1000.0);
            unpainted.pop_front();
        }
    }

    QPlainTextEdit& edit;
    std::deque<std::int64_t> unpainted;
};

struct Figures {
    std::vector<double> samples;
    std::vector<double> painted; // on screen only: sendto to the line painted
    long lost = 0;
};

void Report(const char* name, const Figures& figures) {
    std::printf("  %-40s %8.1f %8.1f %8.1f %8.1f   lost %ld\n", name,
                kestrane::bench::Smallest(figures.samples),
                kestrane::bench::Median(figures.samples),
                kestrane::bench::Percentile(figures.samples, 99),
                kestrane::bench::Largest(figures.samples), figures.lost);
}

/// Runs the event loop until `done` or `seconds` have passed; false then.
template <typename Done> bool RunUntil(Done done, int seconds) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < seconds * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return done();
}

/// Sends `lines` lines to a window in its own rig, in `blocks` blocks, each
/// after a block of as many to the raw receiver when there is one. With a
/// `historyFolder` the window keeps its history there.
Figures MeasureWindow(bool onScreen, int lines, int blocks, RawReceiver* raw, Figures* rawFigures,
                      const QString& historyFolder = {}) {
    const int port = kestrane::test::FreeUdpPort();
    kestrane::bench::DatagramTap everyone(port, {});
    LineClock windowClock;
    kestrane::UiBridge* bridge = nullptr; // the rig's, set before the network starts
    kestrane::bench::LoopbackRig rig(
        port, "BENCH", onScreen,
        [&](kestrane::ChatWindow& inner) {
            return std::make_unique<TimedWindow>(inner, *bridge, windowClock);
        },
        historyFolder);
    bridge = &rig.Bridge();
    rig.Window().show();
    std::optional<PaintClock> paintClock;
    if (onScreen) {
        paintClock.emplace(*rig.Window().findChild<QPlainTextEdit*>(QStringLiteral("1000")));
        windowClock.logged = [&paintClock](std::int64_t stamp) { paintClock->Logged(stamp); };
    }

    // The lines go out from a thread of their own while the UI thread runs its
    // event loop, as in the program; raw and window blocks alternate, so a
    // change in the machine's load touches both alike.
    Figures figures;
    QEventLoop loop;
    std::thread sender([&] {
        const sockaddr_in target = LoopbackAddress("127.0.0.2", port);
        SendLines(target, WARM_UP_LINES, windowClock);
        windowClock.Record(true);
        for (int block = 0; block < blocks; ++block) {
            if (raw != nullptr) {
                rawFigures->lost += SendLines(raw->target, lines / blocks, raw->clock);
            }
            figures.lost += SendLines(target, lines / blocks, windowClock);
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    sender.join();
    figures.samples = windowClock.Samples();
    if (paintClock) {
        RunUntil([] { return false; }, 1); // the last lines' repaint
        figures.painted = paintClock->samples;
    }
    return figures;
}

/// The window in the tray while `transfer` moves its file, from its first
/// byte; false, with the reason, when the file did not arrive whole.
bool MeasureDuringTransfer(kestrane::bench::LoopbackTransfer& transfer, int lines, int blocks,
                           Figures& figures, bool& overlapped) {
    transfer.Start();
    auto failed = [&] { return !transfer.Failure().isEmpty(); };
    RunUntil([&] { return transfer.IsMoving() || failed(); }, 60);
    figures = MeasureWindow(false, lines, blocks, nullptr, nullptr);
    overlapped = transfer.ArrivedBytes() == 0;
    if (!RunUntil([&] { return transfer.ArrivedBytes() > 0 || failed(); }, 120) || failed()) {
        std::fprintf(stderr, "the file did not arrive: %s\n", qPrintable(transfer.Failure()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const bool privateNetwork = kestrane::test::EnterPrivateNetwork();
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--on-screen") == 0) {
        const Figures onScreen = MeasureWindow(true, 20000, 1, nullptr, nullptr);
        Report("window on screen", onScreen);
        Report("the same, to the line painted", Figures{onScreen.painted, {}, 0});
        return 0;
    }

    const int lines = quick ? 400 : 10000;
    const int onScreenLines = quick ? 100 : 2000;
    LineClock rawClock;
    RawReceiver raw(rawClock);
    Figures rawFigures;
    SendLines(raw.target, WARM_UP_LINES, rawClock);
    rawClock.Record(true);
    const Figures inTray = MeasureWindow(false, lines, quick ? 2 : 5, &raw, &rawFigures);
    rawFigures.samples = rawClock.Samples();
    const Figures onScreen = MeasureWindow(true, onScreenLines, 1, nullptr, nullptr);
    // The same again, every line stored in a history of its own.
    QTemporaryDir history;
    const Figures inTrayStored = MeasureWindow(false, lines, quick ? 2 : 5, nullptr, nullptr,
                                               history.filePath(QStringLiteral("tray")));
    const Figures onScreenStored = MeasureWindow(true, onScreenLines, 1, nullptr, nullptr,
                                                 history.filePath(QStringLiteral("screen")));
    Figures duringTransfer;
    bool overlapped = false;
    kestrane::bench::LoopbackTransfer transfer(kestrane::test::FreeUdpPort(), quick ? 4 : 1024);
    if (!MeasureDuringTransfer(transfer, lines / 2, quick ? 1 : 5, duringTransfer, overlapped)) {
        return 1;
    }

    const double above =
        kestrane::bench::Median(inTray.samples) - kestrane::bench::Median(rawFigures.samples);
    std::printf("end-to-end latency of a line, sent one at a time, on loopback%s\n",
                privateNetwork ? " in a private network namespace" : "");
    std::printf("  %-40s %8s %8s %8s %8s   (us)\n", "", "min", "median", "p99", "max");
    Report("raw UDP one-way (blocking recv)", rawFigures);
    Report("window in the tray: sendto to line logged", inTray);
    Report("window on screen: the same", onScreen);
    Report("window on screen: sendto to line painted", Figures{onScreen.painted, {}, 0});
    Report("in the tray, two file transfers running", duringTransfer);
    Report("in the tray, history kept", inTrayStored);
    Report("on screen, history kept: to line painted", Figures{onScreenStored.painted, {}, 0});
    std::printf("  %d lines each, %d on screen; median above raw: %.1f us (target at most 150); "
                "p99 %.1f us (target under 2000)\n",
                lines, onScreenLines, above, kestrane::bench::Percentile(inTray.samples, 99));
    std::printf(
        "  while %d files moved at once through the window's thread at %.0f MB/s "
        "(%.0f MiB%s): "
        "median %.2f times the idle one (target at most 2)\n",
        transfer.Offers(), static_cast<double>(transfer.ArrivedBytes()) / transfer.Seconds() / 1e6,
        static_cast<double>(transfer.ArrivedBytes()) / (1 << 20),
        overlapped ? "" : ", done before the lines",
        kestrane::bench::Median(duringTransfer.samples) / kestrane::bench::Median(inTray.samples));
    std::printf("  with history kept, medians %+.1f%% in the tray and %+.1f%% on screen, to the "
                "line painted (target within 10%%)\n",
                100 * (kestrane::bench::Median(inTrayStored.samples) /
                           kestrane::bench::Median(inTray.samples) -
                       1),
                100 * (kestrane::bench::Median(onScreenStored.painted) /
                           kestrane::bench::Median(onScreen.painted) -
                       1));
    return 0;
}
