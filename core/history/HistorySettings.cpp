#include "core/history/HistorySettings.h"

#include <QSettings>
#include <algorithm>

namespace kestrane {
namespace {

constexpr std::int64_t kMegabyte = std::int64_t{1} << 20;

} // namespace

HistoryStore::Limits HistorySettings::Load() {
    QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    HistoryStore::Limits limits;
    limits.keepDays =
        std::max(0, settings.value(QStringLiteral("history/keepDays"), kDefaultKeepDays).toInt());
    // A file below a megabyte could not hold the unread queue.
    const int megabytes = std::max(
        1, settings.value(QStringLiteral("history/mostMegabytes"), kDefaultMostMegabytes).toInt());
    limits.mostBytes = megabytes * kMegabyte;
    return limits;
}

void HistorySettings::Save(const HistoryStore::Limits& limits) {
    QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    settings.setValue(QStringLiteral("history/keepDays"), limits.keepDays);
    settings.setValue(QStringLiteral("history/mostMegabytes"),
                      static_cast<int>(limits.mostBytes / kMegabyte));
}

} // namespace kestrane
