#pragma once

#include "core/history/HistoryRecord.h"
#include "core/history/HistoryStore.h"

#include <QString>
#include <chrono>
#include <vector>

namespace kestrane {

/// Reads conversations from the history database: the hosts it holds lines
/// of, and one host's thread, through a read-only connection of its own. A
/// host's thread holds what came from it (to this host or to everybody) and
/// what went to it; the thread of everybody (an empty peer) holds the lines
/// to everybody, both ways. UI thread only.
class ThreadReader {
public:
    /// A thread opens with the lines of the last kRecentDays, at most
    /// kMostLines of them, and at least the kLeastLines newest whatever their age.
    static constexpr int kRecentDays = 7;
    static constexpr int kMostLines = 1000;
    static constexpr int kLeastLines = 50;

    /// Reads `store`'s database once it is open; the store outlives the reader.
    explicit ThreadReader(const HistoryStore& store);

    /// The hosts with lines kept, the one heard from or written to last
    /// first, at most `most`.
    std::vector<QString> Peers(int most);
    /// The recent lines of `peer`'s thread, oldest first, as of `nowMs`.
    /// Empty when the database cannot be read.
    std::vector<HistoryRecord> Thread(const QString& peer, std::int64_t nowMs);

    /// Whether `record` belongs to `peer`'s thread.
    static bool InThread(const QString& peer, const HistoryRecord& record);

private:
    const HistoryStore& store;
};

} // namespace kestrane
