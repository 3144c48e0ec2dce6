#pragma once

#include "files/FileManifest.h"

#include <atomic>
#include <chrono>
#include <cstdint>
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
/// (a folder to NAME.part/) and takes its name only once every byte arrived
/// and its SHA-256 matches the manifest's; a name that exists gets " (1)",
/// " (2)", ..., so nothing is ever overwritten. Bytes held from an earlier
/// attempt are kept when the sender finds them to be the start of the same
/// file, so a cut transfer resumes. Runs of zeros are left as holes.
///
/// List and Fetch block: run them on a worker thread. Cancel and the figures:
/// any thread.
class FileFetcher {
public:
    /// How long a connection may take to open, and to bring the next bytes.
    static constexpr std::chrono::seconds kConnectLimit{10};
    static constexpr std::chrono::seconds kStallLimit{30};

    FileFetcher(std::string address, int port, std::string token);

    /// The offer's manifest, checked to be safe to make; nothing is written.
    std::optional<FileManifest> List(std::string& error);
    /// Fetches every entry into `folder`; true when all arrived whole. On
    /// failure `error` says why, for the person, and what arrived is kept.
    bool Fetch(const FileManifest& manifest, const std::string& folder, std::string& error);
    /// Stops a List or Fetch under way as soon as it can.
    void Cancel();

    /// How long a sender may stay silent before the transfer is given up.
    std::chrono::seconds stallLimit = kStallLimit;

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
    };

    PortConnection* Connect(std::string& error);
    bool SendRequest(PortConnection& connection, const std::string& line, std::string& error);
    std::optional<std::string> ReadLine(PortConnection& connection, std::string& error);
    /// Bytes received (from what came after the last line first), 0 when the
    /// connection ended, -1 when nothing came within `limit`.
    int ReceiveSome(PortConnection& connection, char* buffer, int capacity,
                    std::chrono::milliseconds limit);
    void Disconnect(PortConnection* connection);
    bool Place(const FileManifest& manifest, BeneathFolder& folder,
               std::vector<Placement>& placements, std::string& error);
    bool FetchFile(BeneathFolder& folder, const std::string& partPath, std::uint64_t index,
                   const ManifestEntry& entry, std::string& error);
    bool Stream(PortConnection& connection, int file, std::uint64_t start,
                const ManifestEntry& entry, Sha256& hash, std::string& error);
    bool Finish(BeneathFolder& folder, Placement& placement, std::string& error);

    std::string address;
    int port;
    std::string token;
    std::string folderKey; // the folder Fetch writes into
    std::string buffered;  // bytes received after the last line read
    std::atomic<bool> cancelled{false};
    std::mutex socketMutex;
    int socketInUse = -1; // guarded by socketMutex
};

} // namespace kestrane
