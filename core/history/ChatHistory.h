#pragma once

#include "core/history/HistoryRecord.h"
#include "core/history/HistoryStore.h"
#include "core/transfers/FileTransfers.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrane {

class HistoryEntry;

/// The running copy's history: what it shows and sends goes into the store,
/// the file offers with their outcomes too; what was unread or in the outbox
/// when the program last ended comes back once the store is open. Owns the
/// store. UI thread only.
class ChatHistory {
public:
    struct Hooks {
        /// What waited from the last run.
        std::function<void(const HistoryStore::Restored& restored)> restored;
        /// A sentence for the log about trouble with the history file.
        std::function<void(const QString& note)> note;
    };

    /// The database lives in `folder`.
    ChatHistory(const QString& folder, QObject& context, Hooks hooks);
    ~ChatHistory();
    ChatHistory(const ChatHistory&) = delete;
    ChatHistory& operator=(const ChatHistory&) = delete;

    /// A line from another host, shown now; `unread` when it was queued.
    std::int64_t Received(const HistoryEntry& entry, bool unread);
    /// A line sent now to `host` (empty: everybody) at `address`, its line end included.
    std::int64_t Sent(const std::string& host, const std::string& address, const QString& line,
                      const std::string& receiptId, HistoryRecord::Delivery delivery);
    void DeliveryChanged(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox);
    /// The person saw the line, or it left the unread queue unseen.
    void Read(std::int64_t id);
    /// Records offers that appeared among `transfers`, and the outcome of those that ended.
    void FollowOffers(const std::vector<FileTransfers::Transfer>& transfers);
    /// Calls `call` each time records were written (for a view that shows them).
    void FollowWrites(std::function<void()> call) { written = std::move(call); }
    /// What a view that shows records as they come is told, at once rather
    /// than once they are written.
    struct Follower {
        std::function<void(const HistoryRecord& record)> added;
        std::function<void(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox)>
            delivery;
    };
    void FollowRecords(Follower follower) { following = std::move(follower); }
    /// Writes what waits, for at most `limit`.
    bool Flush(std::chrono::milliseconds limit);
    HistoryStore& Store() { return *store; }

private:
    struct Offer {
        std::int64_t historyId = 0;
        FileTransfers::State state{};
    };

    std::int64_t Add(HistoryRecord record);

    Hooks hooks;
    std::function<void()> written;
    Follower following;
    std::unique_ptr<HistoryStore> store;
    std::map<int, Offer> offers; // by transfer id; those the Transfers list still holds
};

} // namespace kestrane
