#include "core/history/ChatHistory.h"

#include "core/NetworkText.h"
#include "core/history/HistorySettings.h"
#include "core/unread/HistoryEntry.h"

#include <QDateTime>
#include <QLocale>
#include <set>
#include <utility>

namespace kestrane {
namespace {

using State = FileTransfers::State;

std::int64_t NowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// How an offer ended, in the words of the Transfers view.
QString OutcomeOf(const FileTransfers::Transfer& transfer) {
    QString state;
    switch (transfer.state) {
    case State::Preparing:
    case State::Offered:
    case State::Waiting:
        return QStringLiteral("Offered");
    case State::Running:
        return QStringLiteral("Being received");
    case State::Done:
        state = transfer.incoming ? QStringLiteral("Received") : QStringLiteral("Sent");
        break;
    case State::Failed:
        state = QStringLiteral("Failed");
        break;
    case State::Declined:
        state = QStringLiteral("Declined");
        break;
    case State::Cancelled:
        state = QStringLiteral("Cancelled");
        break;
    }
    return transfer.message.isEmpty() ? state : state + QStringLiteral(": ") + transfer.message;
}

QString FilesOf(const FileTransfers::Transfer& transfer) {
    return QStringLiteral("%1 (%2 %3, %4)")
        .arg(transfer.title)
        .arg(transfer.entries)
        .arg(transfer.entries == 1 ? QStringLiteral("entry") : QStringLiteral("entries"))
        .arg(QLocale().formattedDataSize(static_cast<qint64>(transfer.bytes)));
}

} // namespace

ChatHistory::ChatHistory(const QString& folder, QObject& context, Hooks givenHooks)
    : hooks(std::move(givenHooks)) {
    store = std::make_unique<HistoryStore>(
        folder, HistorySettings::Load(), context,
        HistoryStore::Hooks{.opened = hooks.restored, .problem = hooks.note, .written = [this] {
                                if (written) {
                                    written();
                                }
                            }});
    store->Open();
}

ChatHistory::~ChatHistory() = default;

std::int64_t ChatHistory::Received(const HistoryEntry& entry, bool unread) {
    HistoryRecord record;
    record.atMs = NowMs();
    record.peer = entry.GetSender();
    record.address = QString::fromStdString(entry.senderAddress);
    record.toEverybody = !entry.toYou;
    record.text = entry.GetText().mid(1); // the entry's text starts with ">"
    record.unread = unread;
    record.trust = entry.trust;
    return Add(std::move(record));
}

std::int64_t ChatHistory::Sent(const std::string& host, const std::string& address,
                               const QString& line, const std::string& receiptId,
                               HistoryRecord::Delivery delivery) {
    HistoryRecord record;
    record.atMs = NowMs();
    record.outgoing = true;
    record.toEverybody = host.empty();
    record.peer = NetworkName(host);
    record.address = QString::fromStdString(address);
    record.text = line;
    record.delivery = delivery;
    record.receiptId = QString::fromStdString(receiptId);
    return Add(std::move(record));
}

std::int64_t ChatHistory::Add(HistoryRecord record) {
    record.id = store->Append(record);
    if (following.added) {
        following.added(record);
    }
    return record.id;
}

void ChatHistory::DeliveryChanged(std::int64_t id, HistoryRecord::Delivery delivery,
                                  bool inOutbox) {
    store->SetDelivery(id, delivery, inOutbox);
    if (following.delivery) {
        following.delivery(id, delivery, inOutbox);
    }
}

void ChatHistory::Read(std::int64_t id) {
    if (id != 0) {
        store->SetRead(id);
    }
}

void ChatHistory::FollowOffers(const std::vector<FileTransfers::Transfer>& transfers) {
    std::set<int> listed;
    for (const FileTransfers::Transfer& transfer : transfers) {
        listed.insert(transfer.id);
        // An offer of ours is recorded once it went out, with its files counted.
        if (transfer.state == State::Preparing) {
            continue;
        }
        auto found = offers.find(transfer.id);
        if (found == offers.end()) {
            HistoryRecord record;
            record.atMs = NowMs();
            record.kind = HistoryRecord::Kind::FileOffer;
            record.outgoing = !transfer.incoming;
            record.peer = transfer.peer;
            record.address = QString::fromStdString(transfer.address);
            record.text = FilesOf(transfer);
            record.detail = OutcomeOf(transfer);
            found =
                offers.emplace(transfer.id, Offer{Add(std::move(record)), transfer.state}).first;
        } else if (found->second.state != transfer.state) {
            found->second.state = transfer.state;
            store->SetDetail(found->second.historyId, OutcomeOf(transfer));
        }
    }
    std::erase_if(offers, [&](const auto& offer) { return !listed.contains(offer.first); });
}

bool ChatHistory::Flush(std::chrono::milliseconds limit) {
    return store->Flush(limit);
}

} // namespace kestrane
