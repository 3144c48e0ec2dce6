#pragma once

#include "core/history/HistoryStore.h"

namespace kestrane {

/// How much history the person keeps, in the program's settings (QSettings,
/// "kestrane"/"kestrane" in the user's config folder): days and megabytes.
class HistorySettings {
public:
    static constexpr int kDefaultKeepDays = 365;
    static constexpr int kDefaultMostMegabytes = 256;

    static HistoryStore::Limits Load();
    static void Save(const HistoryStore::Limits& limits);
};

} // namespace kestrane
