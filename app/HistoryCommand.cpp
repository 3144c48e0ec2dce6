#include "app/HistoryCommand.h"

#include "app/CTavrinApp.h"
#include "core/history/HistoryListing.h"
#include "core/history/HistoryStore.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

namespace kestrane {

int HistoryCommand::Run(int argc, char** argv, const std::string& since) {
    // The SQL driver is a plugin, which only an application loads.
    const QCoreApplication core(argc, argv);
    QDateTime from;
    if (!since.empty()) {
        const std::optional<QDateTime> parsed = HistoryListing::ParseSince(
            QString::fromLocal8Bit(since.c_str()), QDateTime::currentDateTime());
        if (!parsed) {
            std::fprintf(stderr,
                         "kestrane: --since '%s' names no time: give an ISO 8601 date "
                         "(2026-12-08) or date and time (2026-12-08T09:30), or an age (30m, 12h, "
                         "7d)\n",
                         since.c_str());
            return 2;
        }
        from = *parsed;
    }
    return HistoryListing::Print(
        QDir(CTavrinApp::HistoryFolder()).filePath(QString::fromLatin1(HistoryStore::kFileName)),
        from, stdout, stderr);
}

} // namespace kestrane
