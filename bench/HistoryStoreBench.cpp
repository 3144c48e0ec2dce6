// The history store under a long chat: appends 100,000 typical lines (a
// 60-character text, a name, an address) through the store and prints the
// writer's records per second, the file's bytes per line, and the resident
// memory after the first tenth and at the end (it should stay flat).
// Then a flood at the line budget under a 1 MiB cap: 15,000 lines of 4 KB of
// distinct words (the worst case for the search index), what peers may send in
// 150 s, flushed every 25 lines as the writer's 250 ms flushes would take them;
// prints the lines written per second and the largest sizes of the file and
// its write-ahead log seen after a flush, and their sizes at the end.
//   kestrane_history_store_bench           the full run
//   kestrane_history_store_bench --short   a quick run that only checks it works
//   kestrane_history_store_bench --flood MIB LINES   only a flood, of LINES under a cap of MIB
#include "core/history/HistoryStore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

long ResidentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

kestrane::HistoryRecord MakeLine(int number) {
    kestrane::HistoryRecord record;
    record.atMs = QDateTime::currentMSecsSinceEpoch();
    record.peer = QStringLiteral("pc%1.lan.test").arg(number % 20);
    record.address = QStringLiteral("10.77.0.%1").arg(number % 20 + 1);
    record.text = QStringLiteral("line %1 of a chat that goes on, about lunch and builds\r\n")
                      .arg(number, 6, 10, QLatin1Char('0'));
    return record;
}

// About 4 KB of words of one to nine letters, none repeated on purpose.
QString FloodText(std::mt19937& random) {
    std::uniform_int_distribution<int> length(1, 9);
    std::uniform_int_distribution<int> letter('a', 'z');
    QString text;
    while (text.size() < 4000) {
        for (int count = length(random); count > 0; --count) {
            text += QChar(letter(random));
        }
        text += QLatin1Char(' ');
    }
    return text + QStringLiteral("\r\n");
}

long long SizeOf(const QString& path) {
    const QFileInfo file(path);
    return file.exists() ? file.size() : 0;
}

// The records kept and the bytes of their text.
std::pair<long long, long long> Kept(const kestrane::HistoryStore& store) {
    std::pair<long long, long long> kept;
    {
        const auto access = store.Access();
        auto database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("k"));
        database.setDatabaseName(access.databaseName);
        database.setConnectOptions(access.connectOptions);
        QSqlQuery query(database);
        if (database.open() &&
            query.exec(QStringLiteral("SELECT count(*), sum(length(text)) FROM history")) &&
            query.next()) {
            kept = {query.value(0).toLongLong(), query.value(1).toLongLong()};
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("k"));
    return kept;
}

// The flood; false when the store did not keep up.
bool Flood(int total, int capMib) {
    constexpr int kPerFlush = 25;
    const std::int64_t cap = std::int64_t{capMib} << 20;
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("history.db"));
    std::mt19937 random(7);
    std::vector<QString> texts;
    for (int number = 0; number < 200; ++number) {
        texts.push_back(FloodText(random));
    }
    QObject context;
    bool opened = false;
    kestrane::HistoryStore store(folder.path(), {0, cap}, context,
                                 {[&](const auto&) { opened = true; }, {}, {}});
    store.Open();
    while (!opened) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    long long largestFile = 0;
    long long largestLog = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int number = 0; number < total; ++number) {
        kestrane::HistoryRecord record = MakeLine(number);
        record.text = texts[static_cast<std::size_t>(number) % texts.size()];
        store.Append(std::move(record));
        if ((number + 1) % kPerFlush == 0) {
            if (!store.Flush(60s)) {
                std::printf("the store did not write in time\n");
                return false;
            }
            largestFile = std::max(largestFile, SizeOf(path));
            largestLog = std::max(largestLog, SizeOf(path + QStringLiteral("-wal")));
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("history store, a flood of %d lines of 4 KB under a %d MiB cap\n", total, capMib);
    std::printf("  lines written per second: %10.0f (the line budget is 100)\n", total / seconds);
    std::printf("  largest after a flush: file %lld bytes, write-ahead log %lld bytes\n",
                largestFile, largestLog);
    std::printf("  at the end: file %lld bytes, write-ahead log %lld bytes\n", SizeOf(path),
                SizeOf(path + QStringLiteral("-wal")));
    const auto [rows, bytes] = Kept(store);
    std::printf("  kept: %lld lines, %lld bytes of text\n", rows, bytes);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    QCoreApplication application(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--flood") == 0) {
        return Flood(std::atoi(argv[3]), std::atoi(argv[2])) ? 0 : 1;
    }
    QTemporaryDir folder;
    const int total = quick ? 5000 : 100000;
    const int block = total / 10; // appended between flushes, as a busy UI thread would
    QObject context;
    bool opened = false;
    long residentFirst = 0;
    double seconds = 0;
    {
        kestrane::HistoryStore store(folder.path(), {0, std::int64_t{1} << 30}, context,
                                     {[&](const auto&) { opened = true; }, {}, {}});
        store.Open();
        while (!opened) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const long residentBefore = ResidentKib();
        const auto start = std::chrono::steady_clock::now();
        for (int number = 0; number < total; ++number) {
            store.Append(MakeLine(number));
            if ((number + 1) % block == 0 && !store.Flush(60s)) {
                std::printf("the store did not write in time\n");
                return 1;
            }
            if (number + 1 == block) {
                residentFirst = ResidentKib();
            }
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("history store, %d lines of 60 characters\n", total);
        std::printf("  records written per second: %10.0f\n", total / seconds);
        std::printf("  resident memory: %ld KiB opened, %ld KiB after %d lines, %ld KiB after %d\n",
                    residentBefore, residentFirst, block, ResidentKib(), total);
    }
    const auto bytes = QFileInfo(folder.filePath("history.db")).size();
    std::printf("  file after closing: %lld bytes, %.1f bytes per line\n",
                static_cast<long long>(bytes), static_cast<double>(bytes) / total);
    return Flood(quick ? 500 : 15000, 1) ? 0 : 1;
}
