#pragma once

#include "files/FileManifest.h"
#include "files/TransferRequest.h"

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
class PortConnection;
class Sha256;

/// The receiving end of one offer: asks the sender (a FileServer) for the
/// manifest, then for each file, over stream connections of the port library,
/// and writes into a folder the person chose. A file is written to NAME.part
/// (a folder to NAME.part/) and takes its name only once every byte arrived,
/// its SHA-256 matches the manifest's and it is on the disk; a name that
/// exists gets " (1)", " (2)", ..., so nothing is ever overwritten. A
/// NAME.part counts as a taken name too, unless Kestrane made it for the same
/// entry (BeneathFolder's mark says so): then the bytes it holds are kept when
/// the sender finds them to be the start of the same file, so a cut transfer
/// resumes. A top-level name is shortened so that NAME.part fits in 255
/// bytes. Runs of zeros are left as holes.
///
/// FILES/2 (the default) asks for everything over one connection, opened by
/// List and kept for Fetch: the requests for the next files go out while a
/// file's bytes come, and each file's digest follows its bytes. FILES/1 opens
/// a connection per request, as copies that know only it serve them. Either
/// way the files reach the disk with one flush of its file system before any
/// takes its name.
///
/// List and Fetch block: run them on a worker thread. Cancel and the figures:
/// any thread.
class FileFetcher {
public:
    /// How long a connection may take to open, and to bring the next bytes.
    static constexpr std::chrono::seconds kConnectLimit{10};
    static constexpr std::chrono::seconds kStallLimit{30};
    /// How long a LIST may take in all; a GET may take as long again, and
    /// what its bytes need at kLeastRate bytes a second.
    static constexpr std::chrono::seconds kOverallLimit{60};
    static constexpr std::uint64_t kLeastRate = 16 * 1024;

    /// Requests asked ahead of the file being received, in a FILES/2 session.
    static constexpr std::uint64_t kRequestsAhead = 64;

    /// `version`: the newest the offer's notice named (1 or 2).
    FileFetcher(std::string address, int port, std::string token, int version = 2);
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

    /// How long a sender may stay silent before the transfer is given up.
    std::chrono::seconds stallLimit = kStallLimit;
    std::chrono::seconds overallLimit = kOverallLimit;
    std::uint64_t leastRate = kLeastRate;

    /// File bytes held so far, resumed ones included, and all of them.
    std::atomic<std::uint64_t> doneBytes{0};
    std::atomic<std::uint64_t> totalBytes{0};
    /// Bytes kept from earlier attempts, as the sender confirmed them.
    std::atomic<std::uint64_t> resumedBytes{0};
    /// The names the offer's top-level entries took in the folder.
    std::vector<std::string> placedNames;

private:
    /// One top-level entry: where it is written and what it is called at the end.
    struct Placement {
        std::string name; // as offered
        std::string finalName;
        bool folder = false;
        std::string mark;                   // what Kestrane's mark on its working name holds
        bool resume = false;                // its working name holds earlier work for it
        bool made = false;                  // its working name is there
        std::vector<std::uint64_t> entries; // its own and those inside, by index
    };

    /// What ReceiveSome returns when no byte came.
    static constexpr int kEnded = 0;
    static constexpr int kSilent = -1;
    static constexpr int kLate = -2;

    PortConnection* Connect(std::string& error);
    /// Sends the FILES/2 requests for the files from `reached` on that hold
    /// no bytes yet in `folder`, up to kRequestsAhead ahead, stopping at one
    /// that does; false when they cannot be sent.
    bool AskAhead(const BeneathFolder& folder, const FileManifest& manifest,
                  const std::vector<Placement*>& placementOf, std::uint64_t reached,
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
    /// The seconds the request under way may take in all.
    std::string Allowed() const;
    std::string Stopped(int outcome, std::chrono::milliseconds limit) const;
    std::optional<FileManifest> ReadManifest(PortConnection& connection,
                                             std::optional<std::uint64_t> offeredEntries,
                                             std::string& error);
    void Disconnect(PortConnection* connection);
    bool Place(const FileManifest& manifest, BeneathFolder& folder,
               std::vector<Placement>& placements, std::string& error);
    bool Usable(BeneathFolder& folder, Placement& placement) const;
    bool MakeTop(BeneathFolder& folder, Placement& placement, std::string& error);
    bool FetchFile(BeneathFolder& folder, const Placement& placement, const std::string& partPath,
                   std::uint64_t index, const ManifestEntry& entry, std::string& error);
    /// Receives the answer to the GET of `index`; `connection` carries it.
    /// `resumed`: the working file may hold bytes from before.
    bool ReceiveFile(PortConnection& connection, int file, const std::string& partPath,
                     bool resumed, std::uint64_t held, const ManifestEntry& entry, Sha256& hash,
                     std::string& error);
    /// Flushes what arrived and gives the finished entries their names.
    bool FinishAll(BeneathFolder& folder, const FileManifest& manifest,
                   std::vector<Placement>& placements, std::uint64_t reached, bool whole,
                   std::string& error);
    int OpenPart(BeneathFolder& folder, const Placement& placement, const std::string& partPath,
                 const ManifestEntry& entry, Sha256& hash, std::uint64_t& held, std::string& error);
    bool Stream(PortConnection& connection, int file, std::uint64_t& position,
                const ManifestEntry& entry, Sha256& hash, std::string& error);
    bool Finish(BeneathFolder& folder, const FileManifest& manifest, Placement& placement,
                std::string& error);
    /// The working name of a top-level entry, and the working path of an
    /// entry, beneath the folder.
    static std::string WorkingName(const Placement& placement);
    static std::string PartPath(const Placement& placement, const ManifestEntry& entry);

    std::string address;
    int port;
    std::string token;
    const int version;
    PortConnection* session = nullptr; // FILES/2: from List until Fetch ends
    std::uint64_t nextAsked = 0;       // FILES/2: the first entry not yet asked for
    std::string folderKey;             // the folder Fetch writes into
    std::string buffered; // bytes received after the last line read, from bufferedAt on
    std::size_t bufferedAt = 0;
    std::unique_ptr<char[]> readBuffer;
    std::chrono::steady_clock::time_point started;  // of the request under way
    std::chrono::steady_clock::time_point deadline; // for it
    std::atomic<bool> cancelled{false};
    std::mutex socketMutex;
    int socketInUse = -1; // guarded by socketMutex
};

} // namespace kestrane
