#include "files/FileFetcher.h"

#include "files/BeneathFolder.h"
#include "files/SafeRelativePath.h"
#include "files/Sha256.h"
#include "files/TransferRequest.h"
#include "port/PortConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrane {
namespace {

constexpr int kReceiveBuffer = 4 << 20;
constexpr std::size_t kChunk = 1 << 20;
// An encoded path may take three bytes for each of its 4,096.
constexpr std::size_t kLongestReplyLine = 16 * 1024;
constexpr int kMostNumbers = 9999;
constexpr std::chrono::milliseconds kExtraBytesWait{200};

// Final names being written by any fetcher of this process, so that two
// offers of one name never share a .part.
std::mutex reservedMutex;
std::set<std::string> reservedNames; // guarded by reservedMutex; folder + '\0' + name

std::string Quoted(std::string_view name) {
    return SafeRelativePath::Quoted(name);
}

std::string ConnectProblem(int error, const std::string& address, int port) {
    const std::string rule = " On the sending computer, let TCP port " + std::to_string(port) +
                             " in: sudo nft add rule inet filter input tcp dport " +
                             std::to_string(port) + " accept (with ufw: sudo ufw allow in " +
                             std::to_string(port) + "/tcp).";
    if (error == ECONNREFUSED) {
        return address + " refused the connection on TCP port " + std::to_string(port) +
               ": Kestrane there has ended, or a firewall rejects the port." + rule;
    }
    if (error == ETIMEDOUT) {
        return address + " did not answer on TCP port " + std::to_string(port) + " within " +
               std::to_string(FileFetcher::kConnectLimit.count()) +
               " s: a firewall probably drops the connection." + rule;
    }
    return "No connection to " + address + " on TCP port " + std::to_string(port) + ": " +
           std::strerror(error) + ".";
}

// "name (n).ext" for a file, "name (n)" for a folder or a name without an extension.
std::string Numbered(const std::string& name, int number, bool folder) {
    if (number == 0) {
        return name;
    }
    const std::size_t dot = folder ? std::string::npos : name.rfind('.');
    const std::string suffix = " (" + std::to_string(number) + ")";
    if (dot == std::string::npos || dot == 0) {
        return name + suffix;
    }
    return name.substr(0, dot) + suffix + name.substr(dot);
}

std::string TopName(const std::string& path) {
    return path.substr(0, path.find('/'));
}

bool AllZero(const char* bytes, std::size_t count) {
    return count > 0 && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0;
}

} // namespace

FileFetcher::FileFetcher(std::string peerAddress, int peerPort, std::string offerToken)
    : address(std::move(peerAddress)), port(peerPort), token(std::move(offerToken)) {}

void FileFetcher::Cancel() {
    cancelled = true;
    std::lock_guard guard(socketMutex);
    if (socketInUse >= 0) {
        ::shutdown(socketInUse, SHUT_RDWR);
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
        error = ConnectProblem(connection->connectError, address, port);
        connection->Release();
        return nullptr;
    }
    // The port library's small buffers suit requests, not files.
    ::setsockopt(connection->GetSocket(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer,
                 sizeof kReceiveBuffer);
    std::lock_guard guard(socketMutex);
    socketInUse = connection->GetSocket();
    if (cancelled) {
        ::shutdown(socketInUse, SHUT_RDWR);
    }
    buffered.clear();
    return connection;
}

void FileFetcher::Disconnect(PortConnection* connection) {
    {
        std::lock_guard guard(socketMutex);
        socketInUse = -1;
    }
    connection->Release();
}

bool FileFetcher::SendRequest(PortConnection& connection, const std::string& line,
                              std::string& error) {
    std::string_view left = line;
    while (!left.empty()) {
        const int sent = connection.Send(left.data(), static_cast<int>(left.size()));
        if (sent <= 0) {
            error = cancelled ? "Cancelled." : "The connection to " + address + " broke.";
            return false;
        }
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

int FileFetcher::ReceiveSome(PortConnection& connection, char* buffer, int capacity,
                             std::chrono::milliseconds limit) {
    if (!buffered.empty()) {
        const int count = std::min(capacity, static_cast<int>(buffered.size()));
        std::memcpy(buffer, buffered.data(), static_cast<std::size_t>(count));
        buffered.erase(0, static_cast<std::size_t>(count));
        return count;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    timeval timeout{static_cast<time_t>(seconds.count()),
                    static_cast<suseconds_t>((limit - seconds).count() * 1000)};
    const auto started = std::chrono::steady_clock::now();
    int size = capacity;
    if (connection.Receive(buffer, &size, &timeout) == 0) {
        return size;
    }
    // Receive tells an end from a silence only by the time it took.
    return std::chrono::steady_clock::now() - started >= limit ? -1 : 0;
}

std::optional<std::string> FileFetcher::ReadLine(PortConnection& connection, std::string& error) {
    char chunk[4096];
    for (;;) {
        const std::size_t end = buffered.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered.substr(0, end);
            buffered.erase(0, end + 1);
            return line;
        }
        if (buffered.size() > kLongestReplyLine) {
            error = address + " sent a line longer than the protocol allows.";
            return std::nullopt;
        }
        timeval timeout{stallLimit.count(), 0};
        int size = sizeof chunk;
        if (connection.Receive(chunk, &size, &timeout) != 0) {
            error = cancelled ? "Cancelled."
                    : buffered.empty()
                        ? address + " closed the connection without answering: its offer has "
                                    "ended, or was made to another computer."
                        : address + " ended the connection in the middle of a line.";
            return std::nullopt;
        }
        buffered.append(chunk, static_cast<std::size_t>(size));
    }
}

std::optional<FileManifest> FileFetcher::List(std::string& error) {
    PortConnection* connection = Connect(error);
    if (connection == nullptr) {
        return std::nullopt;
    }
    std::optional<FileManifest> result;
    const TransferRequest request{TransferRequest::Kind::List, token, 0, 0, {}};
    std::optional<std::string> line;
    if (SendRequest(*connection, request.Compose(), error) &&
        (line = ReadLine(*connection, error))) {
        const auto reply = TransferReply::Parse(*line);
        if (!reply || reply->kind == TransferReply::Kind::From ||
            (reply->kind == TransferReply::Kind::Ok && reply->count > FileManifest::kMostEntries)) {
            error = address + " answered with something this version does not know.";
        } else if (reply->kind == TransferReply::Kind::Error) {
            error = address + " says: " + SafeRelativePath::Printable(reply->text);
        } else {
            FileManifest manifest;
            for (std::uint64_t at = 0; at < reply->count; ++at) {
                line = ReadLine(*connection, error);
                auto entry = line ? FileManifest::ParseEntry(*line) : std::nullopt;
                if (!entry) {
                    error = line ? address + " sent a malformed list of files." : error;
                    break;
                }
                manifest.entries.push_back(std::move(*entry));
            }
            if (manifest.entries.size() == reply->count) {
                if (auto problem = manifest.Problem()) {
                    error = "The offer is refused: " + *problem + ".";
                } else {
                    result = std::move(manifest);
                }
            }
        }
    }
    Disconnect(connection);
    return result;
}

bool FileFetcher::Place(const FileManifest& manifest, BeneathFolder& folder,
                        std::vector<Placement>& placements, std::string& error) {
    std::map<std::string, bool> tops; // name -> is a folder
    for (const ManifestEntry& entry : manifest.entries) {
        const std::string top = TopName(entry.path);
        const bool isFolder = entry.folder || top != entry.path;
        if (tops.emplace(top, isFolder).second) {
            placements.push_back({top, {}, isFolder});
        }
    }
    std::lock_guard guard(reservedMutex);
    for (Placement& placement : placements) {
        for (int number = 0; placement.finalName.empty(); ++number) {
            if (number > kMostNumbers) {
                error = "Every name from " + Quoted(placement.name) + " to " +
                        Quoted(Numbered(placement.name, kMostNumbers, placement.folder)) +
                        " is taken in the folder.";
                return false;
            }
            const std::string candidate = Numbered(placement.name, number, placement.folder);
            const std::string key = folderKey + '\0' + candidate;
            if (!folder.Exists(candidate) && reservedNames.insert(key).second) {
                placement.finalName = candidate;
            }
        }
        placedNames.push_back(placement.finalName);
    }
    return true;
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
    folderKey = folderPath;
    std::vector<Placement> placements;
    bool whole = Place(manifest, folder, placements, error);
    std::map<std::string, Placement*> byTop;
    for (Placement& placement : placements) {
        byTop[placement.name] = &placement;
    }
    auto partPathOf = [&](const ManifestEntry& entry) {
        const Placement& placement = *byTop[TopName(entry.path)];
        return placement.folder
                   ? placement.finalName + ".part" + entry.path.substr(placement.name.size())
                   : placement.finalName + ".part";
    };
    if (whole) {
        std::uint64_t held = 0;
        for (const ManifestEntry& entry : manifest.entries) {
            struct stat status {};
            if (!entry.folder &&
                ::stat((folderPath + '/' + partPathOf(entry)).c_str(), &status) == 0) {
                held +=
                    std::min<std::uint64_t>(static_cast<std::uint64_t>(status.st_size), entry.size);
            }
        }
        const std::uint64_t needed = totalBytes - std::min(held, totalBytes.load());
        const auto free = folder.FreeBytes();
        if (free && needed > *free) {
            error = "The offer needs " + std::to_string(needed) + " more bytes, but the disk of " +
                    Quoted(folderPath) + " has " + std::to_string(*free) +
                    " free. Nothing was written.";
            whole = false;
        }
    }
    // Entries run in order; a top-level entry whose last part arrived before
    // a failure still takes its name.
    std::map<std::string, std::uint64_t> lastIndex;
    for (std::uint64_t index = 0; index < manifest.entries.size(); ++index) {
        lastIndex[TopName(manifest.entries[index].path)] = index;
    }
    std::uint64_t reached = 0;
    for (; whole && reached < manifest.entries.size(); ++reached) {
        const ManifestEntry& entry = manifest.entries[reached];
        const std::string partPath = partPathOf(entry);
        if (byTop[TopName(entry.path)]->folder) {
            const std::string parent =
                entry.folder ? partPath : partPath.substr(0, partPath.rfind('/'));
            if (!folder.MakeFolders(parent)) {
                error = "The folder " + Quoted(parent) +
                        " cannot be made: " + std::strerror(errno) + ".";
                whole = false;
                break;
            }
        }
        if (!entry.folder && !FetchFile(folder, partPath, reached, entry, error)) {
            whole = false;
            break;
        }
    }
    for (Placement& placement : placements) {
        if (lastIndex[placement.name] < reached) {
            std::string renameError;
            if (!Finish(folder, placement, renameError)) {
                error = whole ? renameError : error;
                whole = false;
            }
        }
    }
    std::lock_guard guard(reservedMutex);
    for (const Placement& placement : placements) {
        reservedNames.erase(folderKey + '\0' + placement.finalName);
    }
    return whole;
}

bool FileFetcher::Finish(BeneathFolder& folder, Placement& placement, std::string& error) {
    const std::string part = placement.finalName + ".part";
    for (int number = 0; number <= kMostNumbers; ++number) {
        const std::string candidate = Numbered(placement.name, number, placement.folder);
        if (candidate != placement.finalName && folder.Exists(candidate)) {
            continue;
        }
        if (folder.Rename(part, candidate)) {
            placement.finalName = candidate;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    error = Quoted(part) + " arrived whole but cannot take its name: " + std::strerror(errno) + ".";
    return false;
}

bool FileFetcher::FetchFile(BeneathFolder& folder, const std::string& partPath, std::uint64_t index,
                            const ManifestEntry& entry, std::string& error) {
    const int file = folder.OpenFile(partPath);
    if (file < 0) {
        error = Quoted(partPath) + " cannot be written: " + std::strerror(errno) + ".";
        return false;
    }
    struct stat status {};
    ::fstat(file, &status);
    std::uint64_t held = static_cast<std::uint64_t>(status.st_size);
    Sha256 hash;
    if (held > entry.size || !hash.AddFile(file, held, &cancelled)) {
        held = 0;
        hash.Finish();
    }
    doneBytes += held;
    PortConnection* connection = Connect(error);
    bool arrived = false;
    if (connection != nullptr) {
        const TransferRequest request{TransferRequest::Kind::Get, token, index, held, hash.Peek()};
        std::optional<std::string> line;
        if (SendRequest(*connection, request.Compose(), error) &&
            (line = ReadLine(*connection, error))) {
            const auto reply = TransferReply::Parse(*line);
            if (reply && reply->kind == TransferReply::Kind::Error) {
                error = address + " says: " + SafeRelativePath::Printable(reply->text);
            } else if (!reply || reply->kind != TransferReply::Kind::From ||
                       (reply->count != 0 && reply->count != held)) {
                error = address + " answered with something this version does not know.";
            } else {
                resumedBytes += reply->count;
                if (reply->count != held) {
                    // The bytes held were not this file's start.
                    doneBytes -= held;
                    hash.Finish();
                    ::ftruncate(file, 0);
                }
                arrived = Stream(*connection, file, reply->count, entry, hash, error);
            }
        }
        Disconnect(connection);
    }
    if (arrived && hash.Finish() != entry.digest) {
        ::ftruncate(file, 0);
        doneBytes -= entry.size;
        error = Quoted(entry.path) + " arrived, but not as offered: its SHA-256 differs. It was "
                                     "removed and starts over when offered again.";
        arrived = false;
    }
    // An empty .part holds no progress worth keeping.
    if (!arrived && ::fstat(file, &status) == 0 && status.st_size == 0) {
        folder.RemoveFile(partPath);
    }
    ::close(file);
    return arrived;
}

bool FileFetcher::Stream(PortConnection& connection, int file, std::uint64_t start,
                         const ManifestEntry& entry, Sha256& hash, std::string& error) {
    std::vector<char> buffer(kChunk);
    std::uint64_t position = start;
    bool extra = false;
    while (position < entry.size) {
        const int count =
            ReceiveSome(connection, buffer.data(), static_cast<int>(buffer.size()), stallLimit);
        if (count <= 0 || cancelled) {
            error = cancelled ? "Cancelled; what arrived is kept and resumes when offered again."
                              : Quoted(entry.path) +
                                    (count < 0 ? " stalled: nothing came for " +
                                                     std::to_string(stallLimit.count()) + " s"
                                               : " was cut off") +
                                    " after " + std::to_string(position) + " of " +
                                    std::to_string(entry.size) +
                                    " bytes. What arrived is kept and resumes when offered again.";
            return false;
        }
        const auto bytes =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(count), entry.size - position);
        if (!AllZero(buffer.data(), bytes) &&
            ::pwrite(file, buffer.data(), bytes, static_cast<off_t>(position)) !=
                static_cast<ssize_t>(bytes)) {
            error = Quoted(entry.path) + " cannot be written: " + std::strerror(errno) + ".";
            return false;
        }
        hash.Add(buffer.data(), bytes);
        position += bytes;
        doneBytes += bytes;
        extra = bytes < static_cast<std::uint64_t>(count);
    }
    // Holes at the end still count towards the size.
    ::ftruncate(file, static_cast<off_t>(entry.size));
    char next = 0;
    if (extra || ReceiveSome(connection, &next, 1, kExtraBytesWait) > 0) {
        error = address + " sent more bytes of " + Quoted(entry.path) + " than it offered (" +
                std::to_string(entry.size) + ").";
        return false;
    }
    return true;
}

} // namespace kestrane
