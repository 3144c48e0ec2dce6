#include "files/FileFetcher.h"

#include "files/BeneathFolder.h"
#include "files/ConnectProblem.h"
#include "files/FileSink.h"
#include "files/PlacedEntries.h"
#include "files/ReceivePipeline.h"
#include "files/SafeRelativePath.h"
#include "files/SealedConnection.h"
#include "files/Sha256.h"
#include "files/TransferRequest.h"
#include "port/PortConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kestrane {
namespace {

constexpr int kReceiveBuffer = 4 << 20;
constexpr std::size_t kChunk = 1 << 20;
// Read at once for lines: a session's small files come many to a read.
constexpr std::size_t kLineChunk = 64 << 10;
static_assert(kChunk == ReceivePipeline::kSlotBytes);
// Smaller files are written and hashed on the fetch thread: threads and slots
// for them cost more than the overlap gains.
constexpr std::uint64_t kOverlapLeast = 4 * kChunk;
constexpr std::chrono::milliseconds kExtraBytesWait{200};

std::string Quoted(std::string_view name) {
    return SafeRelativePath::Quoted(name);
}

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
}

} // namespace

FileFetcher::FileFetcher(std::string peerAddress, int peerPort, std::string offerToken,
                         int protocolVersion)
    : FileFetcher(std::move(peerAddress), peerPort, std::move(offerToken), protocolVersion,
                  Limits{}) {}

FileFetcher::FileFetcher(std::string peerAddress, int peerPort, std::string offerToken,
                         int protocolVersion, Limits senderLimits)
    : address(std::move(peerAddress)), port(peerPort), token(std::move(offerToken)),
      version(protocolVersion), limits(senderLimits) {}

FileFetcher::FileFetcher(std::string peerAddress, int peerPort, std::string offerToken,
                         PrivateKeys privateKeys, Limits senderLimits)
    : address(std::move(peerAddress)), port(peerPort), token(std::move(offerToken)), version(3),
      limits(senderLimits), keys(std::move(privateKeys)) {}

FileFetcher::~FileFetcher() {
    if (session != nullptr) {
        Disconnect(std::exchange(session, nullptr));
    }
}

void FileFetcher::Cancel() {
    cancelled = true;
    std::lock_guard guard(socketMutex);
    if (socketInUse >= 0) {
        ::shutdown(socketInUse, SHUT_RDWR);
    }
    if (receiving != nullptr) {
        receiving->Stop();
    }
}

void FileFetcher::Attach(ReceivePipeline* pipeline) {
    std::lock_guard guard(socketMutex);
    receiving = pipeline;
    if (receiving != nullptr && cancelled) {
        receiving->Stop();
    }
}

PortConnection* FileFetcher::Connect(std::string& error) {
    if (cancelled) {
        error = "Cancelled.";
        return nullptr;
    }
    auto* connection = new PortConnection;
    connection->connectLimit = kConnectLimit;
    if (connection->Connect(address.c_str(), port) != 0) {
        error = ConnectProblem::Describe(connection->connectError, address, port, kConnectLimit);
        connection->Release();
        return nullptr;
    }
    // The port library's small buffers suit requests, not files.
    ::setsockopt(connection->GetSocket(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer,
                 sizeof kReceiveBuffer);
    {
        std::lock_guard guard(socketMutex);
        socketInUse = connection->GetSocket();
        if (cancelled) {
            ::shutdown(socketInUse, SHUT_RDWR);
        }
    }
    buffered.clear();
    bufferedAt = 0;
    if (keys) {
        const auto limit = std::min(Left(deadline), std::chrono::milliseconds(limits.stall));
        sealed = SealedConnection::Open(*connection, address, keys->identity, keys->sender, limit,
                                        error);
        if (sealed == nullptr) {
            Disconnect(connection);
            return nullptr;
        }
    }
    return connection;
}

void FileFetcher::Disconnect(PortConnection* connection) {
    sealed.reset();
    {
        std::lock_guard guard(socketMutex);
        socketInUse = -1;
    }
    connection->Release();
}

bool FileFetcher::SendRequest(PortConnection& connection, const std::string& line,
                              std::string& error) {
    // A private session's lines go sealed, together in one frame.
    std::string_view left = line;
    if (sealed != nullptr && sealed->Send(connection, line)) {
        left = {};
    }
    while (sealed == nullptr && !left.empty()) {
        const int sent = connection.Send(left.data(), static_cast<int>(left.size()));
        if (sent <= 0) {
            break;
        }
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    if (!left.empty()) {
        error = cancelled ? "Cancelled." : "The connection to " + address + " broke.";
        return false;
    }
    return true;
}

char* FileFetcher::ReadBuffer() {
    if (readBuffer == nullptr) {
        readBuffer = std::make_unique_for_overwrite<char[]>(kChunk);
    }
    return readBuffer.get();
}

std::string_view FileFetcher::Buffered() const {
    return std::string_view(buffered).substr(bufferedAt);
}

void FileFetcher::TakeBuffered(std::size_t count) {
    bufferedAt += count;
    if (bufferedAt == buffered.size()) {
        buffered.clear();
        bufferedAt = 0;
    }
}

int FileFetcher::ReceiveSome(PortConnection& connection, char* buffer, int capacity,
                             std::chrono::milliseconds limit) {
    if (const std::string_view held = Buffered(); !held.empty()) {
        const int count = std::min(capacity, static_cast<int>(held.size()));
        std::memcpy(buffer, held.data(), static_cast<std::size_t>(count));
        TakeBuffered(static_cast<std::size_t>(count));
        return count;
    }
    return ReceiveNew(connection, buffer, capacity, limit);
}

int FileFetcher::ReceiveNew(PortConnection& connection, char* buffer, int capacity,
                            std::chrono::milliseconds limit) {
    const auto left = Left(deadline);
    const bool late = left <= limit;
    limit = std::min(limit, left);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    timeval timeout{static_cast<time_t>(seconds.count()),
                    static_cast<suseconds_t>((limit - seconds).count() * 1000)};
    const auto waited = std::chrono::steady_clock::now();
    int size = capacity;
    if ((sealed != nullptr ? sealed->Receive(connection, buffer, &size, timeout)
                           : connection.Receive(buffer, &size, &timeout)) == 0) {
        return size;
    }
    // Receive tells an end from a silence only by the time it took.
    if (std::chrono::steady_clock::now() - waited < limit) {
        return kEnded;
    }
    return late ? kLate : kSilent;
}

std::string FileFetcher::Allowed() const {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(deadline - started).count());
}

// Why a request ended early, for the person, after ReceiveSome said so.
std::string FileFetcher::Stopped(int outcome, std::chrono::milliseconds limit) const {
    if (cancelled) {
        return "Cancelled.";
    }
    if (outcome == kLate) {
        return address + " was too slow: the transfer did not finish within the " + Allowed() +
               " s it may take.";
    }
    if (outcome == kSilent) {
        return address + " sent nothing for " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
               " s.";
    }
    return {};
}

std::optional<std::string> FileFetcher::ReadLine(PortConnection& connection, std::size_t longest,
                                                 std::string& error,
                                                 std::optional<std::chrono::milliseconds> silence) {
    const std::chrono::milliseconds limit =
        silence.value_or(std::chrono::milliseconds(limits.stall));
    char* chunk = ReadBuffer();
    for (;;) {
        const std::string_view held = Buffered();
        const std::size_t end = held.find('\n');
        if (end != std::string::npos && end <= longest) {
            std::string line(held.substr(0, end));
            TakeBuffered(end + 1);
            return line;
        }
        if (end != std::string::npos || held.size() > longest) {
            error = address + " sent a line longer than the protocol allows.";
            return std::nullopt;
        }
        buffered.erase(0, bufferedAt);
        bufferedAt = 0;
        const int count = ReceiveNew(connection, chunk, static_cast<int>(kLineChunk), limit);
        if (count <= 0) {
            error = count != kEnded || cancelled ? Stopped(count, limit)
                    : buffered.empty()
                        ? address + " closed the connection without answering: its offer has "
                                    "ended, or was made to another computer."
                        : address + " ended the connection in the middle of a line.";
            return std::nullopt;
        }
        buffered.append(chunk, static_cast<std::size_t>(count));
    }
}

std::optional<FileManifest> FileFetcher::List(std::string& error,
                                              std::optional<std::uint64_t> offeredEntries) {
    started = std::chrono::steady_clock::now();
    deadline = started + limits.overall;
    PortConnection* connection = Connect(error);
    if (connection == nullptr) {
        return std::nullopt;
    }
    if (session != nullptr) {
        Disconnect(std::exchange(session, nullptr));
    }
    const auto kind = version == 1   ? TransferRequest::Kind::List
                      : version == 3 ? TransferRequest::Kind::Private
                                     : TransferRequest::Kind::Session;
    const TransferRequest request{kind, token, 0, 0, {}};
    std::optional<FileManifest> result;
    if (SendRequest(*connection, request.Compose(), error)) {
        result = ReadManifest(*connection, offeredEntries, error);
    }
    // A session goes on with the files.
    if (result && version != 1) {
        session = connection;
        nextAsked = 0;
    } else {
        Disconnect(connection);
    }
    return result;
}

std::optional<FileManifest> FileFetcher::ReadManifest(PortConnection& connection,
                                                      std::optional<std::uint64_t> offeredEntries,
                                                      std::string& error) {
    auto line = ReadLine(connection, TransferReply::kLongestLine, error);
    const auto reply = line ? Expect(*line, TransferReply::Kind::Ok, error) : std::nullopt;
    if (!reply) {
        return std::nullopt;
    }
    if (reply->count == 0 || reply->count > FileManifest::kMostEntries ||
        (offeredEntries && reply->count != *offeredEntries)) {
        error =
            "The offer is refused: its list says " + std::to_string(reply->count) + " entries, " +
            (offeredEntries ? "its notice said " + std::to_string(*offeredEntries)
                            : "an offer lists 1 to " + std::to_string(FileManifest::kMostEntries)) +
            ".";
        return std::nullopt;
    }
    // Each entry is checked as it comes, so a hostile list costs no more
    // than the first entry that breaks a rule.
    FileManifest manifest;
    while (manifest.entries.size() < reply->count) {
        line = ReadLine(connection, FileManifest::kLongestLine, error);
        if (!line) {
            return std::nullopt;
        }
        auto entry = FileManifest::ParseEntry(*line, version == 1 ? 1 : 2);
        if (!entry) {
            error = address + " sent a malformed list of files.";
            return std::nullopt;
        }
        if (auto problem = manifest.Add(std::move(*entry), line->size() + 1)) {
            error = "The offer is refused: " + *problem + ".";
            return std::nullopt;
        }
    }
    return manifest;
}

// A second for each leastRate bytes of the offer (capped where the clock
// would overflow) and a little for each file, on top of the overall limit:
// counted once for the files together, so that a sender cannot hold the
// transfer open by taking just under the limit with each file.
std::chrono::milliseconds FileFetcher::FilesAllowance(const FileManifest& manifest) const {
    std::uint64_t files = 0;
    for (const ManifestEntry& entry : manifest.entries) {
        files += entry.folder ? 0 : 1;
    }
    const std::uint64_t seconds =
        limits.leastRate == 0
            ? UINT32_MAX
            : std::min<std::uint64_t>(manifest.TotalBytes() / limits.leastRate, UINT32_MAX);
    return limits.overall + std::chrono::seconds(seconds) +
           limits.perFile * static_cast<std::int64_t>(files);
}

bool FileFetcher::Fetch(const FileManifest& manifest, const std::string& folderPath,
                        std::string& error) {
    if (!Sha256::Usable(error)) {
        return false;
    }
    BeneathFolder folder(folderPath);
    if (!folder.IsOpen()) {
        error =
            "The folder " + Quoted(folderPath) + " cannot be opened: " + std::strerror(errno) + ".";
        return false;
    }
    totalBytes = manifest.TotalBytes();
    syncEachFile = !folder.SyncReachesDisk();
    PlacedEntries placed(manifest, folder, folderPath, version);
    bool whole = placed.Place(error);
    if (whole) {
        const std::uint64_t needed = totalBytes - std::min(placed.HeldBytes(), totalBytes.load());
        const auto free = folder.FreeBytes();
        if (free && needed > *free) {
            error = "The offer needs " + std::to_string(needed) + " more bytes, but the disk of " +
                    Quoted(folderPath) + " has " + std::to_string(*free) +
                    " free. Nothing was written.";
            whole = false;
        }
    }
    if (whole && version != 1 && session == nullptr) {
        error = "The connection to " + address + " broke.";
        whole = false;
    }
    started = std::chrono::steady_clock::now();
    deadline = started + FilesAllowance(manifest);
    std::uint64_t reached = 0;
    for (; whole && reached < manifest.entries.size(); ++reached) {
        const ManifestEntry& entry = manifest.entries[reached];
        if (!placed.Locate(reached, error) ||
            (!entry.folder && ((version != 1 && !AskAhead(placed, manifest, reached, error)) ||
                               !FetchFile(placed, reached, entry, error)))) {
            whole = false;
            break;
        }
    }
    if (session != nullptr) {
        Disconnect(std::exchange(session, nullptr));
    }
    whole = FinishAll(folder, manifest, placed, reached, whole, error);
    placedNames = placed.FinalNames();
    return whole;
}

// Entries run in order; a top-level entry whose last part arrived before a
// failure still takes its name. Everything reaches the disk before any name
// is taken, and the names after, so that after a power cut an arrived file
// is whole. Where one flush of the file system does not reach the disk, each
// file was flushed as it arrived, and each folder is here.
bool FileFetcher::FinishAll(BeneathFolder& folder, const FileManifest& manifest,
                            PlacedEntries& placed, std::uint64_t reached, bool whole,
                            std::string& error) {
    std::vector<PlacedEntries::Placement*> finished;
    for (PlacedEntries::Placement& placement : placed.All()) {
        if (placement.entries.back() < reached) {
            finished.push_back(&placement);
        }
    }
    if (finished.empty()) {
        return whole;
    }
    bool synced = syncEachFile || folder.SyncFileSystem();
    for (const PlacedEntries::Placement* placement : finished) {
        for (const std::uint64_t index : placement->entries) {
            if (synced && syncEachFile && manifest.entries[index].folder) {
                synced = folder.Sync(placed.WorkingPath(index));
            }
        }
    }
    if (!synced) {
        error = "What arrived cannot be written to the disk: " + std::string(std::strerror(errno)) +
                ".";
        return false;
    }
    bool renamed = false;
    for (PlacedEntries::Placement* placement : finished) {
        std::string renameError;
        if (placed.Finish(*placement, renameError)) {
            renamed = true;
        } else {
            error = whole ? renameError : error;
            whole = false;
        }
    }
    if (renamed && !folder.Sync(".")) {
        error = "The names of what arrived cannot be written to the disk: " +
                std::string(std::strerror(errno)) + ".";
        whole = false;
    }
    return whole;
}

// The working file for `entry`, and in `held` and `hash` the bytes of it
// that may be kept: only what Kestrane wrote for this entry.
int FileFetcher::OpenPart(PlacedEntries& placed, std::uint64_t index, const ManifestEntry& entry,
                          Sha256& hash, std::uint64_t& held, std::string& error) {
    const PlacedEntries::Placement& placement = placed.Of(index);
    const int file = placed.Open(index);
    if (file < 0) {
        error =
            Quoted(placed.WorkingPath(index)) + " cannot be written: " + std::strerror(errno) + ".";
        return -1;
    }
    // Inside a working folder of Kestrane's everything is its own (FILES/1
    // still marks each file there with its digest); a top-level working file
    // it resumes must still carry its mark.
    const bool topLevel = !placement.folder;
    const std::string& mark = topLevel ? placement.mark : entry.digest;
    const bool marked = (!topLevel && version != 1) || BeneathFolder::MarkOf(file) == mark;
    if (topLevel && placement.resume && !marked) {
        ::close(file);
        error = Quoted(placed.WorkingPath(index)) + " changed while it was being used.";
        return -1;
    }
    if (!marked) {
        BeneathFolder::SetMark(file, mark);
    }
    struct stat status {};
    held = marked && placed.HeldBefore(index) && ::fstat(file, &status) == 0
               ? static_cast<std::uint64_t>(status.st_size)
               : 0;
    if (held > entry.size || !hash.AddFile(file, held, &cancelled)) {
        held = 0;
        hash.Finish();
    }
    return file;
}

bool FileFetcher::AskAhead(PlacedEntries& placed, const FileManifest& manifest,
                           std::uint64_t reached, std::string& error) {
    static const std::string nothingHeld = Sha256().Finish();
    std::string lines;
    nextAsked = std::max(nextAsked, reached);
    // Refilled when half the window is left, so that one send carries many lines.
    if (nextAsked > reached + kRequestsAhead / 2) {
        return true;
    }
    // A file whose working file holds earlier work is asked for when it is
    // reached, with what it holds; the others hold nothing yet.
    for (; nextAsked < manifest.entries.size() && nextAsked < reached + kRequestsAhead;
         ++nextAsked) {
        if (manifest.entries[nextAsked].folder) {
            continue;
        }
        if (placed.HoldsEarlierWork(nextAsked)) {
            break; // FetchFile asks when it is reached, with the bytes held
        }
        lines +=
            TransferRequest{TransferRequest::Kind::Get, {}, nextAsked, 0, nothingHeld}.Compose();
    }
    return lines.empty() || SendRequest(*session, lines, error);
}

bool FileFetcher::FetchFile(PlacedEntries& placed, std::uint64_t index, const ManifestEntry& entry,
                            std::string& error) {
    Sha256 hash;
    std::uint64_t held = 0;
    const int file = OpenPart(placed, index, entry, hash, held, error);
    if (file < 0) {
        return false;
    }
    doneBytes += held;
    const std::string partPath = placed.WorkingPath(index);
    const bool resumed = placed.HeldBefore(index);
    bool arrived = false;
    if (version == 1) {
        if (PortConnection* connection = Connect(error)) {
            const TransferRequest request{TransferRequest::Kind::Get, token, index, held,
                                          hash.Peek()};
            arrived = SendRequest(*connection, request.Compose(), error) &&
                      ReceiveFile(*connection, file, partPath, resumed, held, entry, hash, error);
            Disconnect(connection);
        }
    } else {
        // A session's requests are sent in order: this one unless asked ahead.
        const bool asked = index < nextAsked;
        const TransferRequest request{TransferRequest::Kind::Get, {}, index, held, hash.Peek()};
        if (!asked) {
            nextAsked = index + 1;
        }
        arrived = (asked || SendRequest(*session, request.Compose(), error)) &&
                  ReceiveFile(*session, file, partPath, resumed, held, entry, hash, error);
        if (!arrived) {
            // Answers still on their way would be taken for others'.
            Disconnect(std::exchange(session, nullptr));
        }
    }
    // Where one flush of the file system does not put the bytes on the disk
    // (FUSE, network file systems), each file is flushed as it arrives.
    if (arrived && syncEachFile && ::fsync(file) != 0) {
        error = Quoted(partPath) + " cannot be written to the disk: " + std::strerror(errno) + ".";
        arrived = false;
    }
    // An empty .part holds no progress worth keeping.
    struct stat status {};
    if (!arrived && ::fstat(file, &status) == 0 && status.st_size == 0) {
        placed.Forget(index);
    }
    ::close(file);
    return arrived;
}

bool FileFetcher::ReceiveFile(PortConnection& connection, int file, const std::string& partPath,
                              bool resumed, std::uint64_t held, const ManifestEntry& entry,
                              Sha256& hash, std::string& error) {
    const auto line = ReadLine(connection, TransferReply::kLongestLine, error);
    const auto reply = line ? Expect(*line, TransferReply::Kind::From, error) : std::nullopt;
    if (!reply) {
        return false;
    }
    if (reply->count != 0 && reply->count != held) {
        error = address + " answered with something this version does not know.";
        return false;
    }
    resumedBytes += reply->count;
    if (reply->count != held) {
        // The bytes held were not this file's start.
        doneBytes -= held;
        hash.Finish();
    }
    // Nothing past the start may stay, whatever put it there: the bytes that
    // come are checked, holes would keep what was.
    std::uint64_t position = reply->count;
    if (resumed && ::ftruncate(file, static_cast<off_t>(position)) != 0) {
        error = Quoted(partPath) + " cannot be written: " + std::strerror(errno) + ".";
        return false;
    }
    if (!Stream(connection, file, position, entry, hash, error)) {
        return false;
    }
    const std::optional<std::string> expected =
        version == 1 ? std::optional(entry.digest) : ReadDigest(connection, entry, error);
    if (!expected) {
        return false;
    }
    if (hash.Finish() != *expected) {
        ::ftruncate(file, 0);
        doneBytes -= entry.size;
        error = Quoted(entry.path) + " arrived, but not as offered: its SHA-256 differs. It was "
                                     "removed and starts over when offered again.";
        return false;
    }
    return true;
}

std::optional<std::string> FileFetcher::ReadDigest(PortConnection& connection,
                                                   const ManifestEntry& entry, std::string& error) {
    // The sender may still be reading the file for its digest, which takes
    // longer than the bytes did on a link faster than the disk or the hash:
    // the digest may take what is left of the request's time.
    const auto line = ReadLine(connection, TransferReply::kLongestLine, error, Left(deadline));
    if (!line) {
        error = Quoted(entry.path) + " arrived, but its SHA-256 did not: " + error +
                " What arrived is kept and resumes when offered again.";
        return std::nullopt;
    }
    const auto reply = Expect(*line, TransferReply::Kind::Digest, error);
    return reply ? std::optional(reply->text) : std::nullopt;
}

std::optional<TransferReply> FileFetcher::Expect(const std::string& line, TransferReply::Kind kind,
                                                 std::string& error) const {
    const auto reply = TransferReply::Parse(line);
    if (reply && reply->kind == TransferReply::Kind::Error) {
        error = address + " says: " + SafeRelativePath::Printable(reply->text);
        return std::nullopt;
    }
    if (!reply || reply->kind != kind) {
        error = address + " answered with something this version does not know.";
        return std::nullopt;
    }
    return reply;
}

bool FileFetcher::Stream(PortConnection& connection, int file, std::uint64_t& position,
                         const ManifestEntry& entry, Sha256& hash, std::string& error) {
    // A large file is written and hashed on threads of their own while its
    // next bytes come; without slots to spare, here.
    std::unique_ptr<ReceivePipeline> pipeline;
    if (entry.size - std::min(position, entry.size) >= kOverlapLeast) {
        pipeline = ReceivePipeline::Make(file, position, entry.size - position, hash, doneBytes);
        Attach(pipeline.get());
    }
    FileSink sink(file, position);
    bool whole = true;
    bool told = false; // `error` says why the bytes stopped coming
    bool extra = false;
    int failed = 0; // errno of a write, ECANCELED when the pipeline stopped
    while (whole && position < entry.size) {
        char* buffer = pipeline ? pipeline->Next() : ReadBuffer();
        if (buffer == nullptr) {
            whole = false; // Finish says why
            break;
        }
        // In a session the next answer follows: no read goes past this file.
        const std::uint64_t wanted =
            version == 1 ? kChunk : std::min<std::uint64_t>(kChunk, entry.size - position);
        const int count = ReceiveSome(connection, buffer, static_cast<int>(wanted), limits.stall);
        if (count <= 0 || cancelled) {
            const std::string why =
                count == kLate ? " came too slowly: the transfer was not done within the " +
                                     Allowed() + " s it may take"
                : count == kSilent
                    ? " stalled: nothing came for " + std::to_string(limits.stall.count()) + " s"
                    : " was cut off";
            error = cancelled ? "Cancelled; what arrived is kept and resumes when offered again."
                              : Quoted(entry.path) + why + " after " + std::to_string(position) +
                                    " of " + std::to_string(entry.size) +
                                    " bytes. What arrived is kept and resumes when offered again.";
            whole = false;
            told = true;
            break;
        }
        const auto bytes =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(count), entry.size - position);
        if (pipeline) {
            pipeline->Fill(static_cast<std::size_t>(bytes));
        } else if (sink.Write(buffer, static_cast<std::size_t>(bytes))) {
            hash.Add(buffer, bytes);
            doneBytes += bytes;
        } else {
            failed = errno;
            whole = false;
            break;
        }
        position += bytes;
        extra = bytes < static_cast<std::uint64_t>(count);
    }
    position = sink.Position();
    if (pipeline) {
        failed = pipeline->Finish(position);
        Attach(nullptr);
    }
    if (failed == ECANCELED && !told) {
        error = "Cancelled; what arrived is kept and resumes when offered again.";
    } else if (failed != 0 && failed != ECANCELED) {
        error = Quoted(entry.path) + " cannot be written: " + std::strerror(failed) + ".";
    }
    whole = whole && failed == 0;
    // Runs of zeros were skipped, not written: the size says they arrived,
    // at the end as much as in between, and on failure too.
    if (::ftruncate(file, static_cast<off_t>(position)) != 0 && whole) {
        error = Quoted(entry.path) + " cannot be written: " + std::strerror(errno) + ".";
        whole = false;
    }
    // A FILES/1 answer ends with the connection: anything more is too much.
    char next = 0;
    if (whole && version == 1 &&
        (extra || ReceiveSome(connection, &next, 1, kExtraBytesWait) > 0)) {
        error = address + " sent more bytes of " + Quoted(entry.path) + " than it offered (" +
                std::to_string(entry.size) + ").";
        return false;
    }
    return whole;
}

} // namespace kestrane
