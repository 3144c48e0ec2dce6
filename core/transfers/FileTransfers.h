#pragma once

#include "chat/ChatSender.h"
#include "core/threads/UiBridge.h"
#include "security/KeyPair.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {

class FileFetcher;
class FileNotice;
class FileServer;
class OfferBuilder;

/// Files and folders between this host and others: offers made, offers
/// received, and the transfers that follow. The network ends are FileServer
/// and FileFetcher; this is the program's side of them. Reading files for an
/// offer and fetching run on threads this object owns: its destruction stops
/// them and withdraws its offers; it waits for them briefly, and a thread
/// still in a system call after that (a connect) ends on its own, touching
/// nothing of this object.
///
/// Between hosts whose keys are known everything goes privately (FILES/3):
/// the notices sealed in their session, the files over a Noise stream, each
/// offer bound to its recipient's key. Such a host gets no offer in the clear,
/// and a notice in the clear under its name is ignored. UI thread only.
class FileTransfers : public QObject {
    Q_OBJECT

public:
    /// A host reached privately: the key its session proved, and where.
    struct PrivatePeer {
        PublicKey key{};
        std::string address;
    };
    /// What the transfers use of the window.
    struct Hooks {
        /// Sends a notice (the text of a file-transfer datagram) to an address.
        std::function<SendResult(const std::string& address, const std::string& text)> sendNotice;
        /// Writes a note in the log.
        std::function<void(const QString& note)> note;
        /// An offer arrived: the person should hear and see it.
        std::function<void()> alert;
        /// Whether `name`'s key is known, so that nothing goes to it in the clear.
        std::function<bool(const std::string& name)> keyed;
        /// The key and address of the session that speaks for `name`, when
        /// that host takes files privately; nothing otherwise.
        std::function<std::optional<PrivatePeer>(const std::string& name)> privatePeer;
        /// Seals a notice to `name` in its session; false when it cannot go.
        std::function<bool(const std::string& name, const std::string& text)> sendPrivate;
    };

    enum class State { Preparing, Offered, Waiting, Running, Done, Failed, Declined, Cancelled };

    struct Transfer {
        int id = 0;
        bool incoming = false;
        QString peer;     // the host's name as shown
        std::string name; // and as on the wire
        std::string address;
        std::string token;
        QString title;
        std::uint64_t entries = 0;
        std::uint64_t bytes = 0;
        bool oneFolder = false;  // the offer is one folder, named by the title
        std::uint64_t files = 0; // one folder: the files it holds
        State state = State::Preparing;
        QString message;         // how it ended, or what went wrong
        QString folder;          // incoming: where it goes
        QString placed;          // incoming, arrived: the path of its first top-level entry
        std::uint64_t heard = 0; // waiting: when its offer was last heard, in offers heard
        int version = 1;         // incoming: the newest protocol its offer named
        /// Private: the recipient's key the offer is bound to, or the key of
        /// the session an incoming offer came under.
        std::optional<PublicKey> key;
        bool cancelledHere = false; // incoming, running: the person cancelled it
        std::shared_ptr<FileFetcher> fetcher;
        std::shared_ptr<OfferBuilder> builder;
    };

    /// `identity` (may be null: then nothing goes privately) outlives this object.
    FileTransfers(Hooks hooks, int port, const KeyPair* identity = nullptr,
                  QObject* parent = nullptr);
    ~FileTransfers() override;
    FileTransfers(const FileTransfers&) = delete;
    FileTransfers& operator=(const FileTransfers&) = delete;

    /// Opens the server's TCP port; false, with a note, when it cannot.
    bool Open();
    bool IsOpen() const { return open; }
    /// Offers from others that may wait for the person at once, from all
    /// hosts and from one address. A newcomer beyond either drops the waiting
    /// offer heard least recently (of that address, when it is the one full).
    static constexpr int kMostWaiting = 64;
    static constexpr int kMostWaitingPerHost = 4;
    /// Ended transfers kept in the list; older ones go.
    static constexpr int kMostEnded = 100;

    /// Offers `paths` to the host `name` at `address`: the offer goes out once
    /// the files are listed, and their SHA-256 is read meanwhile.
    void Offer(const std::string& name, const std::string& address, const QStringList& paths);
    /// A notice arrived in the clear from `name` at `address`.
    void OnNotice(const std::string& name, const std::string& address, const std::string& text);
    /// A notice arrived sealed in the session at `address` that speaks for
    /// `name` under `key`.
    void OnPrivateNotice(const std::string& name, const std::string& address,
                         const std::string& text, const PublicKey& key);
    void Accept(int id, const QString& folder);
    void Decline(int id);
    void Cancel(int id);
    /// Forgets the transfers that have ended.
    void ClearEnded();

    const std::vector<Transfer>& Transfers() const { return transfers; }
    /// Bytes done of a transfer, for its progress.
    std::uint64_t DoneBytes(const Transfer& transfer) const;
    /// Offers from others that wait for the person.
    int WaitingCount() const;
    /// Transfers that quitting would cut off: being prepared, offered or received.
    int ActiveCount() const;
    static bool IsActive(State state);
    static bool HasEnded(State state);
    /// The folder offers go into unless the person chooses another.
    static QString DefaultFolder();
    /// What an offer holds, as notes and notifications say it:
    /// "report.txt" (1 item, 5 bytes).
    static QString Describe(const Transfer& transfer);

signals:
    /// A transfer came, changed its state, or went.
    void Changed();

private:
    struct Owner; // shared with the threads, to reach this object while it lives

    Transfer* Find(int id);
    Transfer* FindByToken(const std::string& token, const std::string& address, bool incoming);
    void Run(std::function<void()> work);
    /// Runs `then` on the UI thread, unless the object has gone by then.
    static void Later(const std::shared_ptr<Owner>& owner, std::function<void()> then);
    void Announce(int id, bool built, const std::string& error);
    void Finish(int id, bool arrived, const std::string& error);
    /// Sends `notice` about `transfer` as its offer went: sealed or in the clear.
    void SendNotice(const Transfer& transfer, FileNotice notice);
    void TakeNotice(const std::string& name, const std::string& address, const FileNotice& notice,
                    const std::optional<PublicKey>& key);
    void End(Transfer& transfer, State state, const QString& message);
    void ForgetOldEnded();
    /// Drops a waiting offer when one more from `address` would pass a bound.
    void MakeRoomForOffer(const std::string& address);
    /// A notice that the offer `token` from `address` is one folder of `files`
    /// files: told to the offer, or kept for it when it has not come yet.
    void NoteFolder(const std::string& token, const std::string& address, std::uint64_t files);

    Hooks hooks;
    int port;
    const KeyPair* identity;
    std::unique_ptr<FileServer> server;
    std::vector<Transfer> transfers;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> workers;
    std::shared_ptr<Owner> owner;
    // Work done comes back through it rather than Qt's event queue, whose
    // hand-off ThreadSanitizer cannot see; it closes with this object.
    UiBridge bridge;
    int nextId = 1;
    std::uint64_t offersHeard = 0;
    struct FolderNotice {
        std::string token;
        std::string address;
        std::uint64_t files = 0;
    };
    /// Folder notices whose offer has not come, the newest last; as many as
    /// offers may wait, so that a flood of them holds little.
    std::deque<FolderNotice> foldersAhead;
    bool open = false;
};

} // namespace kestrane
