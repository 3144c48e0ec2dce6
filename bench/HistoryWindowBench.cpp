// The History window on 100,000 stored lines, offscreen: the time from
// constructing the window to its first paint (shown, events processed until its
// rows are painted), and a search among the lines (the query and the repaint,
// without the typing delay the window waits for).
//   kestrane_history_window_bench           the full run
//   kestrane_history_window_bench --short   a quick run that only checks it works
#include "bench/PaintWatch.h"
#include "bench/ShortRun.h"
#include "core/history/HistorySearch.h"
#include "tests/support/HistoryFile.h"
#include "ui/history/HistoryModel.h"
#include "ui/history/HistoryWindow.h"

#include <QApplication>
#include <QDate>
#include <QTableView>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLines = 100000;

using kestrane::bench::PaintWatch;

const kestrane::HistoryStore::ReadAccess& Database() {
    static QTemporaryDir folder;
    static const kestrane::HistoryStore::ReadAccess access = [] {
        const QString path = folder.filePath("history.db");
        const std::int64_t start = QDate(2026, 1, 1).startOfDay().toMSecsSinceEpoch();
        const QStringList changes = {
            "UPDATE history SET text = 'line ' || id || ' of a chat long enough to look real'",
            "UPDATE history SET text = 'needle here' WHERE id = 77777"};
        if (!kestrane::test::MakeHistoryFile(path, kLines, start, changes)) {
            std::abort();
        }
        return kestrane::HistoryStore::ReadAccess{path, "QSQLITE_OPEN_READONLY"};
    }();
    return access;
}

QTableView& Rows(kestrane::HistoryWindow& window) {
    return *window.findChild<QTableView*>("rows");
}

void WaitForPaint(PaintWatch& watch) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!watch.painted) {
        if (Clock::now() > deadline) {
            std::abort(); // a window that never paints is a failure, not a figure
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

void OpenToFirstPaint(benchmark::State& state) {
    const kestrane::HistoryStore::ReadAccess& access = Database();
    for (auto _ : state) {
        PaintWatch watch;
        const auto start = Clock::now();
        kestrane::HistoryWindow window(access, {});
        Rows(window).viewport()->installEventFilter(&watch);
        window.show();
        WaitForPaint(watch);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        benchmark::DoNotOptimize(Rows(window).model()->rowCount());
    }
}

void SearchAmongAll(benchmark::State& state) {
    kestrane::HistoryWindow window(Database(), {});
    window.show();
    QCoreApplication::processEvents();
    auto& model = *static_cast<kestrane::HistoryModel*>(Rows(window).model());
    const QString words[] = {QStringLiteral("needl"), QStringLiteral("line 9999")};
    int found = 0;
    for (auto _ : state) {
        PaintWatch watch;
        Rows(window).viewport()->installEventFilter(&watch);
        const auto start = Clock::now();
        model.Load(kestrane::HistorySearch::Where(words[found % 2]));
        Rows(window).viewport()->update();
        WaitForPaint(watch);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        found += model.rowCount() > 0 ? 1 : 0;
        Rows(window).viewport()->removeEventFilter(&watch);
    }
    state.counters["found"] = found;
}

BENCHMARK(OpenToFirstPaint)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SearchAmongAll)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    return kestrane::bench::RunBenchmarks(argc, argv);
}
