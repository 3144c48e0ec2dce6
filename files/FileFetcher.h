#pragma once

#include "files/FileManifest.h"
#include "files/TransferRequest.h"
#include "security/KeyPair.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrane {

class BeneathFolder;
class PlacedEntries;
class PortConnection;
class ReceivePipeline;
class SealedConnection;
class Sha256;

/// The receiving end of one offer: asks the sender (a FileServer) for the
/// manifest, then for each file, over stream connections of the port library,
/// and writes into a folder the person chose, where PlacedEntries says: a file
/// to NAME.part (a folder to NAME.part/), which takes its name only once every
/// byte arrived, its SHA-256 matches the manifest's and it is on the disk;
/// nothing is ever overwritten, and a working name that holds earlier work for
/// the same entry is resumed when the sender finds its bytes to be the start
/// of the same file. Runs of zeros are left as holes.
///
/// FILES/2 (the default) asks for everything over one connection, opened by
/// List and kept for Fetch: the requests for the next files go out while a
/// file's bytes come, and each file's digest follows its bytes. FILES/1 opens
/// a connection per request, as copies that know only it serve them. Either
/// way the files reach the disk before any takes its name: with one flush of
/// the file system where that suffices, else each file flushed on its own.
///
/// The sender may not hold the transfer for ever: the files together have a
/// deadline that grows with their bytes and their count (Limits).
///
/// List and Fetch block: run them on a worker thread. Cancel and the figures:
/// any thread.
class FileFetcher {
public:
    /// How long a connection may take to open.
    static constexpr std::chrono::seconds kConnectLimit{10};
    /// Requests asked ahead of the file being received, in a FILES/2 session.
    static constexpr std::uint64_t kRequestsAhead = 64;

    /// How long the sender may take.
    struct Limits {
        /// Silent, while bytes or a line are due.
        std::chrono::seconds stall{30};
        /// For a LIST or the start of a session, in all.
        std::chrono::seconds overall{60};
        /// For the files, in all: `overall` again, with a second for each
        /// `leastRate` bytes and `perFile` for each file.
        std::uint64_t leastRate = 16 * 1024;
        std::chrono::milliseconds perFile{250};
    };

    /// The keys of a private session (FILES/3): this copy's identity, and
    /// the key of the session the offer came under, which the sender must prove.
    struct PrivateKeys {
        KeyPair identity;
        PublicKey sender;
    };

    /// `version`: the newest the offer's notice named (1 or 2).
    FileFetcher(std::string address, int port, std::string token, int version = 2);
    FileFetcher(std::string address, int port, std::string token, int version, Limits limits);
    /// A FILES/3 session: FILES/2's, sealed under `keys`.
    FileFetcher(std::string address, int port, std::string token, PrivateKeys keys, Limits limits);
    ~FileFetcher();
    FileFetcher(const FileFetcher&) = delete;
    FileFetcher& operator=(const FileFetcher&) = delete;

    /// The offer's manifest, checked entry by entry as it arrives to be safe
    /// to make; nothing is written. With `offeredEntries` (the offer's count),
    /// a manifest of another count is refused before its entries are read.
    std::optional<FileManifest> List(std::string& error,
                                     std::optional<std::uint64_t> offeredEntries = {});
    /// Fetches every entry into `folder`; true when all arrived whole. On
    /// failure `error` says why, for the person, and what arrived is kept.
    bool Fetch(const FileManifest& manifest, const std::string& folder, std::string& error);
    /// Stops a List or Fetch under way as soon as it can.
    void Cancel();

    /// File bytes held so far, resumed ones included, and all of them.
    std::atomic<std::uint64_t> doneBytes{0};
    std::atomic<std::uint64_t> totalBytes{0};
    /// Bytes kept from earlier attempts, as the sender confirmed them.
    std::atomic<std::uint64_t> resumedBytes{0};
    /// The names the offer's top-level entries took in the folder.
    std::vector<std::string> placedNames;

private:
    /// What ReceiveSome returns when no byte came.
    static constexpr int kEnded = 0;
    static constexpr int kSilent = -1;
    static constexpr int kLate = -2;

    PortConnection* Connect(std::string& error);
    /// Sends the FILES/2 requests for the files from `reached` on that hold
    /// no earlier work, up to kRequestsAhead ahead, stopping at one that
    /// does; false when they cannot be sent.
    bool AskAhead(PlacedEntries& placed, const FileManifest& manifest, std::uint64_t reached,
                  std::string& error);
    /// After a file's bytes in a session: the sender's digest of it, or
    /// nothing, with `error`.
    std::optional<std::string> ReadDigest(PortConnection& connection, const ManifestEntry& entry,
                                          std::string& error);
    /// Where bytes are received into, made once for the fetcher's life.
    char* ReadBuffer();
    /// `line` as the sender's answer of `kind`; nothing when it is another,
    /// with `error` giving the sender's ERR text or saying it is unknown.
    std::optional<TransferReply> Expect(const std::string& line, TransferReply::Kind kind,
                                        std::string& error) const;
    /// The bytes received that no read has taken yet.
    std::string_view Buffered() const;
    void TakeBuffered(std::size_t count);
    bool SendRequest(PortConnection& connection, const std::string& line, std::string& error);
    /// A line of at most `longest` bytes, without its LF, the sender being
    /// silent for `silence` at most (the stall limit when not given).
    std::optional<std::string> ReadLine(PortConnection& connection, std::size_t longest,
                                        std::string& error,
                                        std::optional<std::chrono::milliseconds> silence = {});
    /// Bytes received (from what came after the last line first), else
    /// kEnded, kSilent (nothing within `limit`) or kLate (the deadline passed).
    int ReceiveSome(PortConnection& connection, char* buffer, int capacity,
                    std::chrono::milliseconds limit);
    /// The same, from the connection only.
    int ReceiveNew(PortConnection& connection, char* buffer, int capacity,
                   std::chrono::milliseconds limit);
    /// How long the files of `manifest` may take in all.
    std::chrono::milliseconds FilesAllowance(const FileManifest& manifest) const;
    /// The seconds the list, or the files, may take in all.
    std::string Allowed() const;
    std::string Stopped(int outcome, std::chrono::milliseconds limit) const;
    std::optional<FileManifest> ReadManifest(PortConnection& connection,
                                             std::optional<std::uint64_t> offeredEntries,
                                             std::string& error);
    void Disconnect(PortConnection* connection);
    bool FetchFile(PlacedEntries& placed, std::uint64_t index, const ManifestEntry& entry,
                   std::string& error);
    /// Receives the answer to the GET of `index`; `connection` carries it.
    /// `resumed`: the working file may hold bytes from before.
    bool ReceiveFile(PortConnection& connection, int file, const std::string& partPath,
                     bool resumed, std::uint64_t held, const ManifestEntry& entry, Sha256& hash,
                     std::string& error);
    /// Puts what arrived on the disk and gives the finished entries their names.
    bool FinishAll(BeneathFolder& folder, const FileManifest& manifest, PlacedEntries& placed,
                   std::uint64_t reached, bool whole, std::string& error);
    int OpenPart(PlacedEntries& placed, std::uint64_t index, const ManifestEntry& entry,
                 Sha256& hash, std::uint64_t& held, std::string& error);
    /// Makes `pipeline` the one Cancel stops (nullptr: none).
    void Attach(ReceivePipeline* pipeline);
    bool Stream(PortConnection& connection, int file, std::uint64_t& position,
                const ManifestEntry& entry, Sha256& hash, std::string& error);

    std::string address;
    int port;
    std::string token;
    const int version;
    const Limits limits;
    const std::optional<PrivateKeys> keys;
    std::unique_ptr<SealedConnection> sealed; // FILES/3: the session's, while it is open
    bool syncEachFile = false;         // Fetch: the folder's file system needs each file flushed
    PortConnection* session = nullptr; // FILES/2: from List until Fetch ends
    std::uint64_t nextAsked = 0;       // FILES/2: the first entry not yet asked for
    std::string buffered; // bytes received after the last line read, from bufferedAt on
    std::size_t bufferedAt = 0;
    std::unique_ptr<char[]> readBuffer;
    std::chrono::steady_clock::time_point started;  // of the list, or of the files
    std::chrono::steady_clock::time_point deadline; // for them
    std::atomic<bool> cancelled{false};
    std::mutex socketMutex;
    int socketInUse = -1;                 // guarded by socketMutex
    ReceivePipeline* receiving = nullptr; // the same; Stream's, which owns it
};

} // namespace kestrane
