#include "bench/LoopbackTransfer.h"

#include <QDir>
#include <QFile>
#include <random>
#include <vector>

namespace kestrane::bench {
namespace {

constexpr char kPeer[] = "BENCH";
// Both ends on one host: each sees the other at the loopback address.
constexpr char kAddress[] = "127.0.0.1";

/// Posts `text` to `to` as a notice from the other end, as the network would.
FileTransfers::Hooks PostingTo(FileTransfers& to) {
    return {.sendNotice =
                [&to](const std::string& /*address*/, const std::string& text) {
                    QMetaObject::invokeMethod(
                        &to, [&to, text] { to.OnNotice(kPeer, kAddress, text); },
                        Qt::QueuedConnection);
                    return SendResult::Sent;
                },
            .note = [](const QString&) {},
            .alert = [] {},
            .keyed = {},
            .privatePeer = {},
            .sendPrivate = {}};
}

void WriteRandomFile(const QString& path, int mebibytes, int seed) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    std::mt19937_64 random(9000 + seed);
    std::vector<std::uint64_t> block(1 << 17); // 1 MiB
    for (int written = 0; written < mebibytes; ++written) {
        for (auto& word : block) {
            word = random();
        }
        file.write(reinterpret_cast<const char*>(block.data()),
                   static_cast<qint64>(block.size() * sizeof block[0]));
    }
}

} // namespace

LoopbackTransfer::LoopbackTransfer(int tcpPort, int mebibytes, int offers)
    : into(folder.filePath(QStringLiteral("in"))), sender(PostingTo(receiver), tcpPort),
      receiver(PostingTo(sender), tcpPort), view(receiver) {
    for (int offer = 0; offer < offers; ++offer) {
        sources << folder.filePath(QStringLiteral("payload%1.bin").arg(offer));
        WriteRandomFile(sources.back(), mebibytes, offer);
    }
    QObject::connect(&receiver, &FileTransfers::Changed, &receiver,
                     [this] { OnReceiverChanged(); });
}

void LoopbackTransfer::Start() {
    if (!sender.Open()) {
        failure = QStringLiteral("the sending end could not open its TCP port");
        return;
    }
    QDir().mkpath(into);
    view.show();
    for (const QString& source : sources) {
        sender.Offer(kPeer, kAddress, {source});
    }
}

bool LoopbackTransfer::IsMoving() const {
    for (const FileTransfers::Transfer& transfer : receiver.Transfers()) {
        if (transfer.state == FileTransfers::State::Running && receiver.DoneBytes(transfer) > 0) {
            return true;
        }
    }
    return false;
}

double LoopbackTransfer::Seconds() const {
    return std::chrono::duration<double>(arrival - accepting).count();
}

void LoopbackTransfer::OnReceiverChanged() {
    for (const FileTransfers::Transfer& transfer : receiver.Transfers()) {
        if (transfer.state == FileTransfers::State::Waiting &&
            accepted.insert(transfer.id).second) {
            // Accepting changes the list under this loop: after it returns.
            QMetaObject::invokeMethod(
                &receiver,
                [this, id = transfer.id] {
                    if (accepted.size() == 1 || accepting == decltype(accepting)()) {
                        accepting = std::chrono::steady_clock::now();
                    }
                    receiver.Accept(id, into);
                },
                Qt::QueuedConnection);
        } else if (transfer.state == FileTransfers::State::Failed && failure.isEmpty()) {
            failure = transfer.message;
        } else if (transfer.state == FileTransfers::State::Done &&
                   arrived.insert(transfer.id).second) {
            arrivingBytes += transfer.bytes;
            if (static_cast<int>(arrived.size()) == Offers()) {
                arrivedBytes = arrivingBytes;
                arrival = std::chrono::steady_clock::now();
            }
        }
    }
}

} // namespace kestrane::bench
