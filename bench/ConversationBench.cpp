// The Conversations window on 100,000 stored lines among 20 hosts, offscreen,
// through the running copy's own history (its store and writer):
//   ThreadOpen      a click on a host of the list until its thread is
//                   painted: the read of its recent lines and their layout
//   WindowOpen      the window's opening on a host: the list read too
//   ThreadRead      the read alone
//   LineToThread    a line kept by the history until the open thread has
//                   painted it, as a line that comes is
//   kestrane_conversation_bench           the full run
//   kestrane_conversation_bench --short   a quick run that only checks it works
#include "bench/PaintWatch.h"
#include "bench/ShortRun.h"
#include "core/history/ChatHistory.h"
#include "core/history/ThreadReader.h"
#include "core/unread/HistoryEntry.h"
#include "tests/support/HistoryFile.h"
#include "ui/TextBox.h"
#include "ui/conversations/ConversationsWindow.h"
#include "ui/conversations/ThreadView.h"

#include <QApplication>
#include <QDateTime>
#include <QListWidget>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kestrane::ChatHistory;
using kestrane::ConversationsWindow;
constexpr int kLines = 100000;

using kestrane::bench::PaintWatch;

void WaitFor(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (Clock::now() > deadline) {
            std::abort(); // what never comes is a failure, not a figure
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

// The history of a copy that talked with PC2 ... PC21 for 100,000 minutes up to
// now, a third of the lines its own, and the window that shows it.
struct Conversations {
    QTemporaryDir folder;
    QObject context;
    std::unique_ptr<ChatHistory> history;
    std::unique_ptr<kestrane::ThreadReader> threads;
    std::unique_ptr<ConversationsWindow> window;

    Conversations() {
        const std::int64_t start =
            QDateTime::currentMSecsSinceEpoch() - std::int64_t{kLines} * 60000;
        const QStringList changes = {
            "UPDATE history SET peer = 'PC' || (id % 20 + 2), text = 'line ' || id || ' of a "
            "chat long enough to look real, and then some more words' || char(13, 10)",
            "UPDATE history SET outgoing = 1, to_everybody = 0, delivery = 2 WHERE id % 3 = 0"};
        if (!kestrane::test::MakeHistoryFile(folder.filePath("history.db"), kLines, start,
                                             changes)) {
            std::abort();
        }
        bool opened = false;
        history = std::make_unique<ChatHistory>(
            folder.path(), context,
            ChatHistory::Hooks{.restored = [&](const auto&) { opened = true; }, .note = {}});
        WaitFor([&] { return opened; });
        threads = std::make_unique<kestrane::ThreadReader>(history->Store());
        window = std::make_unique<ConversationsWindow>(ConversationsWindow::Hooks{
            .peers = [this] { return threads->Peers(100); },
            .thread =
                [this](const QString& peer) {
                    return threads->Thread(peer, QDateTime::currentMSecsSinceEpoch());
                },
            .unread = [](const QString&) { return 0; },
            .seen = [](const QString&) {},
            .send = {}});
        history->FollowRecords(
            {.added = [this](const auto& record) { window->Added(record); }, .delivery = {}});
        window->show();
        window->Open("PC2");
        QCoreApplication::processEvents();
    }

    QWidget& Thread() { return *window->findChild<kestrane::TextBox*>("thread")->viewport(); }
};

// Made at the first benchmark, ended before the application: its store's thread
// and its window need one.
std::unique_ptr<Conversations> made;

Conversations& Shared() {
    if (!made) {
        made = std::make_unique<Conversations>();
    }
    return *made;
}

// What a click on a host of the list does, or the window's opening on one.
void Open(benchmark::State& state, bool byClick) {
    Conversations& shared = Shared();
    auto& hosts = *shared.window->findChild<QListWidget*>("hosts");
    int turn = 0;
    for (auto _ : state) {
        PaintWatch watch;
        shared.Thread().installEventFilter(&watch);
        const auto start = Clock::now();
        ++turn;
        if (byClick) {
            hosts.setCurrentRow(hosts.currentRow() % 20 + 1); // another host each time
        } else {
            shared.window->Open(QStringLiteral("PC%1").arg(turn % 20 + 2));
        }
        WaitFor([&] { return watch.painted; });
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        shared.Thread().removeEventFilter(&watch);
    }
    state.counters["lines"] = static_cast<double>(shared.window->Thread().Lines());
}

// The read alone, without the layout.
void ThreadRead(benchmark::State& state) {
    Conversations& conversations = Shared();
    int turn = 0;
    for (auto _ : state) {
        const auto records = conversations.threads->Thread(
            QStringLiteral("PC%1").arg(++turn % 20 + 2), QDateTime::currentMSecsSinceEpoch());
        benchmark::DoNotOptimize(records.size());
    }
}

void LineToThread(benchmark::State& state) {
    Conversations& shared = Shared();
    shared.window->Open(QStringLiteral("PC3"));
    QCoreApplication::processEvents();
    kestrane::HistoryEntry entry;
    entry.SetSender(QStringLiteral("PC3"));
    entry.AppendText(QStringLiteral("a line that just came\r\n"));
    entry.toYou = true;
    for (auto _ : state) {
        PaintWatch watch;
        shared.Thread().installEventFilter(&watch);
        const auto start = Clock::now();
        shared.history->Received(entry, false);
        WaitFor([&] { return watch.painted; });
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        shared.Thread().removeEventFilter(&watch);
    }
}

void ThreadOpen(benchmark::State& state) {
    Open(state, true);
}

void WindowOpen(benchmark::State& state) {
    Open(state, false);
}

BENCHMARK(ThreadOpen)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(WindowOpen)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ThreadRead)->Unit(benchmark::kMillisecond);
BENCHMARK(LineToThread)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    const int status = kestrane::bench::RunBenchmarks(argc, argv);
    made.reset();
    return status;
}
