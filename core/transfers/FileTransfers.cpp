#include "core/transfers/FileTransfers.h"

#include "core/NetworkText.h"
#include "files/FileFetcher.h"
#include "files/FileNotice.h"
#include "files/FileServer.h"
#include "files/OfferBuilder.h"
#include "files/OfferToken.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>
#include <algorithm>
#include <mutex>

namespace kestrane {

struct FileTransfers::Owner {
    std::mutex lock;
    FileTransfers* transfers = nullptr; // guarded by lock; null once it has gone
};

namespace {

QString Size(std::uint64_t bytes) {
    return QLocale::system().formattedDataSize(static_cast<qint64>(bytes));
}

QString Items(std::uint64_t entries) {
    return entries == 1 ? QStringLiteral("1 item") : QStringLiteral("%1 items").arg(entries);
}

QString Quoted(const QString& title) {
    return QStringLiteral("\"%1\"").arg(title);
}

} // namespace

FileTransfers::FileTransfers(Hooks transferHooks, int serverPort, const KeyPair* identityKey,
                             QObject* parent)
    : QObject(parent), hooks(std::move(transferHooks)), port(serverPort), identity(identityKey),
      server(std::make_unique<FileServer>()), owner(std::make_shared<Owner>()) {
    owner->transfers = this;
}

FileTransfers::~FileTransfers() {
    {
        std::lock_guard guard(owner->lock);
        owner->transfers = nullptr;
    }
    for (Transfer& transfer : transfers) {
        if (transfer.builder != nullptr) {
            transfer.builder->stop = true;
        }
        if (transfer.fetcher != nullptr) {
            transfer.fetcher->Cancel();
        }
        if (!transfer.incoming && transfer.state == State::Offered) {
            SendNotice(transfer, FileNotice{FileNotice::Kind::Withdraw, transfer.token, 0, 0, {}});
        }
    }
    server.reset();
    // Cancelled work ends within a read or two; a connect may take longer,
    // and the program does not wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    for (Worker& worker : workers) {
        while (!*worker.done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (*worker.done) {
            worker.thread.join();
        } else {
            worker.thread.detach();
        }
    }
}

bool FileTransfers::Open() {
    std::string error;
    if (open ||
        server->Open(port, error, identity != nullptr ? std::optional(*identity) : std::nullopt)) {
        open = true;
        return true;
    }
    hooks.note(
        QStringLiteral("Files cannot be sent from here: %1").arg(QString::fromStdString(error)));
    return false;
}

QString FileTransfers::DefaultFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty()) {
        folder = QDir::homePath();
    }
    QDir().mkpath(folder);
    return folder;
}

void FileTransfers::Run(std::function<void()> work) {
    std::erase_if(workers, [](Worker& worker) {
        if (*worker.done) {
            worker.thread.join();
        }
        return !worker.thread.joinable();
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), done] {
        work();
        *done = true;
    });
    workers.push_back({std::move(thread), std::move(done)});
}

void FileTransfers::Later(const std::shared_ptr<Owner>& shared, std::function<void()> then) {
    std::lock_guard guard(shared->lock);
    if (shared->transfers != nullptr) {
        shared->transfers->bridge.Post(std::move(then));
    }
}

FileTransfers::Transfer* FileTransfers::Find(int id) {
    for (Transfer& transfer : transfers) {
        if (transfer.id == id) {
            return &transfer;
        }
    }
    return nullptr;
}

FileTransfers::Transfer* FileTransfers::FindByToken(const std::string& token,
                                                    const std::string& address, bool incoming) {
    for (Transfer& transfer : transfers) {
        if (transfer.incoming == incoming && transfer.address == address &&
            OfferToken::Matches(transfer.token, token)) {
            return &transfer;
        }
    }
    return nullptr;
}

int FileTransfers::WaitingCount() const {
    return static_cast<int>(
        std::count_if(transfers.begin(), transfers.end(),
                      [](const Transfer& t) { return t.state == State::Waiting; }));
}

int FileTransfers::ActiveCount() const {
    return static_cast<int>(std::count_if(transfers.begin(), transfers.end(),
                                          [](const Transfer& t) { return IsActive(t.state); }));
}

bool FileTransfers::IsActive(State state) {
    return state == State::Preparing || state == State::Offered || state == State::Running;
}

bool FileTransfers::HasEnded(State state) {
    return state == State::Done || state == State::Failed || state == State::Declined ||
           state == State::Cancelled;
}

std::uint64_t FileTransfers::DoneBytes(const Transfer& transfer) const {
    if (transfer.state == State::Done) {
        return transfer.bytes;
    }
    if (!transfer.incoming) {
        return std::min(server->SentBytes(transfer.token), transfer.bytes);
    }
    return transfer.fetcher != nullptr ? transfer.fetcher->doneBytes.load() : 0;
}

void FileTransfers::End(Transfer& transfer, State state, const QString& message) {
    transfer.state = state;
    transfer.message = message;
    ForgetOldEnded();
    emit Changed();
}

void FileTransfers::ForgetOldEnded() {
    auto ended = [](const Transfer& transfer) { return HasEnded(transfer.state); };
    auto count = std::count_if(transfers.begin(), transfers.end(), ended);
    for (auto at = transfers.begin(); count > kMostEnded && at != transfers.end();) {
        if (ended(*at)) {
            at = transfers.erase(at);
            --count;
        } else {
            ++at;
        }
    }
}

void FileTransfers::ClearEnded() {
    std::erase_if(transfers, [](const Transfer& transfer) { return HasEnded(transfer.state); });
    emit Changed();
}

void FileTransfers::SendNotice(const Transfer& transfer, FileNotice notice) {
    bool sent = false;
    if (transfer.key) {
        notice.version = FileNotice::kPrivateVersion;
        sent = hooks.sendPrivate && hooks.sendPrivate(transfer.name, notice.Compose());
    } else {
        sent = hooks.sendNotice(transfer.address, notice.Compose()) == SendResult::Sent;
    }
    if (!sent) {
        hooks.note(
            QStringLiteral("A file-transfer notice to %1 could not be sent").arg(transfer.peer));
    }
}

void FileTransfers::Offer(const std::string& name, const std::string& address,
                          const QStringList& paths) {
    const std::optional<std::string> token = OfferToken::Make();
    if (!token || paths.isEmpty()) {
        hooks.note(QStringLiteral("No offer was made: the system gave no random numbers"));
        return;
    }
    Transfer transfer;
    transfer.id = nextId++;
    transfer.peer = OneLineText(NetworkName(name));
    transfer.name = name;
    transfer.address = address;
    transfer.token = *token;
    transfer.title = QFileInfo(paths.front()).fileName();
    if (paths.size() > 1) {
        transfer.title += QStringLiteral(" and %1 more").arg(paths.size() - 1);
    }
    transfer.builder = std::make_shared<OfferBuilder>();
    std::vector<std::string> sources;
    for (const QString& path : paths) {
        sources.push_back(QFile::encodeName(path).toStdString());
    }
    Run([shared = owner, builder = transfer.builder, id = transfer.id, sources, token = *token,
         address, sourceCount = paths.size(), this] {
        auto offer =
            std::make_shared<FileServer::Offer>(FileServer::Offer{token, address, {}, {}, {}, {}});
        std::string error;
        const bool built = builder->Build(sources, *offer, error);
        Later(shared, [this, id, built, error, offer, sourceCount] {
            Transfer* made = Find(id);
            if (made == nullptr || made->state != State::Preparing) {
                return;
            }
            if (!built) {
                // Noted first: ending may forget older rows, and move this one.
                const QString reason = OneLineText(QString::fromStdString(error));
                hooks.note(QStringLiteral("Nothing was offered to %1: %2").arg(made->peer, reason));
                End(*made, State::Failed, reason);
                return;
            }
            const auto& entries = offer->manifest.entries;
            made->entries = entries.size();
            made->bytes = offer->manifest.TotalBytes();
            made->oneFolder = sourceCount == 1 && !entries.empty() && entries.front().folder;
            made->files = static_cast<std::uint64_t>(std::count_if(
                entries.begin(), entries.end(), [](const auto& entry) { return !entry.folder; }));
            // A host whose key is known gets its offer privately, or not at all.
            if (hooks.keyed && hooks.keyed(made->name)) {
                const auto peer = hooks.privatePeer ? hooks.privatePeer(made->name) : std::nullopt;
                if (!peer || identity == nullptr) {
                    const QString reason = QStringLiteral(
                        "no private connection to it is up now (if its key changed, decide on the "
                        "new key first); try again in a few seconds");
                    hooks.note(
                        QStringLiteral("Nothing was offered to %1: %2").arg(made->peer, reason));
                    End(*made, State::Failed, reason);
                    return;
                }
                // Served where its session is, which may not be where the roster saw it.
                made->key = peer->key;
                made->address = offer->recipient = peer->address;
                offer->recipientKey = made->key;
            }
            server->Add(*offer);
            if (made->oneFolder) {
                SendNotice(*made,
                           FileNotice{FileNotice::Kind::Folder, made->token, made->files, 0, {}});
            }
            // The newest version first: a copy that knows it takes that one and
            // hears the older as the same offer again; an older copy hears only it.
            // A private offer goes once, as FILES/3.
            for (int version = made->key ? 1 : FileNotice::kNewestVersion; version >= 1;
                 --version) {
                SendNotice(*made, FileNotice{FileNotice::Kind::Offer, made->token, made->entries,
                                             made->bytes, made->title.toStdString(), version});
            }
            QString note = QStringLiteral("Offered %1 to %2").arg(Describe(*made), made->peer);
            if (!made->builder->skipped.empty()) {
                note += QStringLiteral("; %1 links or special files were left out")
                            .arg(made->builder->skipped.size());
            }
            hooks.note(note);
            End(*made, State::Offered, {});
        });
    });
    transfers.push_back(std::move(transfer));
    emit Changed();
}

void FileTransfers::OnNotice(const std::string& name, const std::string& address,
                             const std::string& text) {
    const std::optional<FileNotice> notice = FileNotice::Parse(text);
    // In the clear, a notice under a name whose key is known may be anyone's.
    if (notice && notice->version != FileNotice::kPrivateVersion &&
        !(hooks.keyed && hooks.keyed(name))) {
        TakeNotice(name, address, *notice, std::nullopt);
    }
}

void FileTransfers::OnPrivateNotice(const std::string& name, const std::string& address,
                                    const std::string& text, const PublicKey& key) {
    const std::optional<FileNotice> notice = FileNotice::Parse(text);
    if (notice && notice->version == FileNotice::kPrivateVersion && identity != nullptr) {
        TakeNotice(name, address, *notice, key);
    }
}

void FileTransfers::TakeNotice(const std::string& name, const std::string& address,
                               const FileNotice& notice, const std::optional<PublicKey>& key) {
    // Names and titles go into log notes and the list: a peer must not start a line there.
    const QString peer = OneLineText(NetworkName(name));
    if (notice.kind == FileNotice::Kind::Decline || notice.kind == FileNotice::Kind::Received) {
        Transfer* offered = FindByToken(notice.token, address, false);
        if (offered == nullptr || offered->state != State::Offered || offered->key != key) {
            return;
        }
        // Either way the offer has served its purpose: nothing more is served.
        server->Withdraw(offered->token);
        if (notice.kind == FileNotice::Kind::Decline) {
            hooks.note(QStringLiteral("%1 declined %2").arg(peer, Quoted(offered->title)));
            End(*offered, State::Declined, QStringLiteral("Declined"));
        } else {
            hooks.note(QStringLiteral("%1 received %2 whole").arg(peer, Quoted(offered->title)));
            End(*offered, State::Done, QStringLiteral("Received by %1").arg(peer));
        }
        return;
    }
    if (notice.kind == FileNotice::Kind::Folder) {
        NoteFolder(notice.token, address, notice.entries);
        return;
    }
    Transfer* known = FindByToken(notice.token, address, true);
    if (known != nullptr && known->key != key) {
        return; // a private offer is spoken of only in its session, a clear one only outside
    }
    if (notice.kind == FileNotice::Kind::Withdraw) {
        if (known != nullptr && known->state == State::Waiting) {
            hooks.note(
                QStringLiteral("%1 withdrew its offer of %2").arg(peer, Quoted(known->title)));
            End(*known, State::Cancelled, QStringLiteral("Withdrawn by %1").arg(peer));
        } else if (known != nullptr && known->state == State::Running) {
            known->fetcher->Cancel();
        }
        return;
    }
    if (known != nullptr) {
        if (known->state == State::Waiting) {
            known->heard = ++offersHeard; // the same offer again
            known->version = std::max(known->version, notice.version);
        }
        return;
    }
    MakeRoomForOffer(address);
    Transfer offer;
    offer.id = nextId++;
    offer.incoming = true;
    offer.peer = peer;
    offer.name = name;
    offer.key = key;
    offer.address = address;
    offer.token = notice.token;
    offer.title = OneLineText(DecodeNetworkText(notice.title));
    offer.entries = notice.entries;
    offer.bytes = notice.bytes;
    offer.version = notice.version;
    offer.state = State::Waiting;
    offer.heard = ++offersHeard;
    const auto ahead = std::find_if(foldersAhead.begin(), foldersAhead.end(), [&](const auto& one) {
        return one.token == offer.token && one.address == address;
    });
    if (ahead != foldersAhead.end()) {
        offer.oneFolder = true;
        offer.files = ahead->files;
        foldersAhead.erase(ahead);
    }
    hooks.note(QStringLiteral("%1 offers %2: Transfers... accepts or declines it")
                   .arg(peer, Describe(offer)));
    transfers.push_back(std::move(offer));
    emit Changed();
    hooks.alert();
}

QString FileTransfers::Describe(const Transfer& transfer) {
    if (transfer.oneFolder) {
        const QString files = transfer.files == 1 ? QStringLiteral("1 file")
                                                  : QStringLiteral("%1 files").arg(transfer.files);
        return QStringLiteral("folder %1, %2, %3").arg(transfer.title, files, Size(transfer.bytes));
    }
    return QStringLiteral("%1 (%2, %3)")
        .arg(Quoted(transfer.title), Items(transfer.entries), Size(transfer.bytes));
}

void FileTransfers::NoteFolder(const std::string& token, const std::string& address,
                               std::uint64_t files) {
    if (Transfer* known = FindByToken(token, address, true)) {
        if (known->state == State::Waiting && !known->oneFolder) {
            known->oneFolder = true; // it came after its offer
            known->files = files;
            emit Changed();
        }
        return;
    }
    if (foldersAhead.size() >= static_cast<std::size_t>(kMostWaiting)) {
        foldersAhead.pop_front();
    }
    foldersAhead.push_back({token, address, files});
}

void FileTransfers::MakeRoomForOffer(const std::string& address) {
    // Offers cost nothing to send: neither one host nor a crowd of forged ones
    // may keep a newcomer out for ever, so the stalest waiting offer makes room.
    auto waitingFrom = [&address](const Transfer& transfer, bool anyHost) {
        return transfer.state == State::Waiting && (anyHost || transfer.address == address);
    };
    const bool hostFull = std::count_if(transfers.begin(), transfers.end(), [&](const auto& t) {
                              return waitingFrom(t, false);
                          }) >= kMostWaitingPerHost;
    if (!hostFull && WaitingCount() < kMostWaiting) {
        return;
    }
    Transfer* stalest = nullptr;
    for (Transfer& transfer : transfers) {
        if (waitingFrom(transfer, !hostFull) &&
            (stalest == nullptr || transfer.heard < stalest->heard)) {
            stalest = &transfer;
        }
    }
    End(*stalest, State::Cancelled, QStringLiteral("Dropped unanswered: too many offers came"));
}

void FileTransfers::Accept(int id, const QString& folder) {
    Transfer* offer = Find(id);
    if (offer == nullptr || offer->state != State::Waiting) {
        return;
    }
    offer->folder = folder;
    offer->fetcher =
        offer->key
            ? std::make_shared<FileFetcher>(offer->address, port, offer->token,
                                            FileFetcher::PrivateKeys{*identity, *offer->key},
                                            FileFetcher::Limits{})
            : std::make_shared<FileFetcher>(offer->address, port, offer->token, offer->version);
    Run([shared = owner, fetcher = offer->fetcher, id, entries = offer->entries,
         bytes = offer->bytes, folderPath = QFile::encodeName(folder).toStdString(), this] {
        std::string error;
        bool arrived = false;
        if (const auto manifest = fetcher->List(error, entries)) {
            if (manifest->entries.size() != entries || manifest->TotalBytes() != bytes) {
                error = "The offer's list does not match what its notice said; nothing was "
                        "written.";
            } else {
                arrived = fetcher->Fetch(*manifest, folderPath, error);
            }
        }
        Later(shared, [this, id, arrived, error] { Finish(id, arrived, error); });
    });
    End(*offer, State::Running, {});
}

void FileTransfers::Finish(int id, bool arrived, const std::string& error) {
    Transfer* transfer = Find(id);
    if (transfer == nullptr) {
        return;
    }
    if (!arrived && transfer->cancelledHere) {
        // The sender learns of it as a decline, and stops serving the offer.
        SendNotice(*transfer, FileNotice{FileNotice::Kind::Decline, transfer->token, 0, 0, {}});
        hooks.note(QStringLiteral("You cancelled %1 from %2")
                       .arg(Quoted(transfer->title), transfer->peer));
        End(*transfer, State::Cancelled, OneLineText(QString::fromStdString(error)));
        return;
    }
    if (!arrived) {
        // The reason may quote what the sender answered.
        const QString reason = OneLineText(DecodeNetworkText(error));
        hooks.note(QStringLiteral("%1 from %2 did not arrive: %3")
                       .arg(Quoted(transfer->title), transfer->peer, reason));
        End(*transfer, State::Failed, reason);
        return;
    }
    QStringList names;
    for (const std::string& name : transfer->fetcher->placedNames) {
        names << Quoted(OneLineText(DecodeNetworkText(name)));
    }
    if (!transfer->fetcher->placedNames.empty()) {
        transfer->placed = QDir(transfer->folder)
                               .filePath(QFile::decodeName(QByteArray::fromStdString(
                                   transfer->fetcher->placedNames.front())));
    }
    const QString where =
        QStringLiteral("in %1 as %2").arg(transfer->folder, names.join(QStringLiteral(", ")));
    hooks.note(QStringLiteral("%1 from %2 arrived whole, %3")
                   .arg(Quoted(transfer->title), transfer->peer, where));
    SendNotice(*transfer, FileNotice{FileNotice::Kind::Received, transfer->token, 0, 0, {}});
    End(*transfer, State::Done, QStringLiteral("Arrived %1").arg(where));
}

void FileTransfers::Decline(int id) {
    Transfer* offer = Find(id);
    if (offer == nullptr || offer->state != State::Waiting) {
        return;
    }
    SendNotice(*offer, FileNotice{FileNotice::Kind::Decline, offer->token, 0, 0, {}});
    hooks.note(QStringLiteral("You declined %1 from %2").arg(Quoted(offer->title), offer->peer));
    End(*offer, State::Declined, QStringLiteral("Declined"));
}

void FileTransfers::Cancel(int id) {
    Transfer* transfer = Find(id);
    if (transfer == nullptr) {
        return;
    }
    switch (transfer->state) {
    case State::Preparing:
        transfer->builder->stop = true;
        hooks.note(QStringLiteral("You cancelled the offer of %1 to %2 before it went out")
                       .arg(Quoted(transfer->title), transfer->peer));
        End(*transfer, State::Cancelled, QStringLiteral("Cancelled"));
        break;
    case State::Offered:
        server->Withdraw(transfer->token);
        SendNotice(*transfer, FileNotice{FileNotice::Kind::Withdraw, transfer->token, 0, 0, {}});
        hooks.note(QStringLiteral("You withdrew the offer of %1 to %2")
                       .arg(Quoted(transfer->title), transfer->peer));
        End(*transfer, State::Cancelled, QStringLiteral("Cancelled"));
        break;
    case State::Waiting:
        Decline(id);
        break;
    case State::Running:
        transfer->cancelledHere = true;
        transfer->fetcher->Cancel();
        break;
    case State::Done:
    case State::Failed:
    case State::Declined:
    case State::Cancelled:
        break;
    }
}

} // namespace kestrane
