#pragma once

#include "files/FileManifest.h"
#include "files/OfferedFolder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {

/// The SHA-256 of each file of an offer, read on a thread of its own after
/// the offer is made, so that the offer leaves before its files are read. The
/// files are read in the manifest's order, the order receivers ask for them
/// in; a digest the manifest already holds is taken as it is. A file that is
/// no longer the one offered (same device, inode, size and modification
/// time), or cannot be read, has no digest.
///
/// Start and Stop: the owner's thread. Wait and Known: any thread. The
/// destructor stops the reading and waits for it, one read at most.
class OfferDigests {
public:
    /// Where an offered file is read from, and what it was when it was listed.
    struct Source {
        std::shared_ptr<const OfferedFolder> folder; // null for a folder entry
        std::string path;                            // beneath `folder`
        FileStamp stamp;
    };

    OfferDigests(const FileManifest& manifest, std::vector<Source> sources);
    ~OfferDigests();
    OfferDigests(const OfferDigests&) = delete;
    OfferDigests& operator=(const OfferDigests&) = delete;

    /// Starts reading; when no thread can be started, the files are read by
    /// whoever waits for them.
    void Start();
    /// Ends the reading soon; digests not read by then are never known.
    void Stop();

    /// Entry `index`'s digest once it is read; nothing for a folder, a file
    /// that cannot be read as offered, after Stop, or when `stop` is set
    /// meanwhile (looked at every `kStopCheck`).
    std::optional<std::string> Wait(std::size_t index, const std::atomic<bool>& stop);
    /// Entries whose digest is settled so far, read or not readable.
    std::size_t Settled() const;

    static constexpr std::chrono::milliseconds kStopCheck{50};

private:
    enum class State { Pending, Known, Failed };

    void Run();
    /// Reads entry `index`; the lock is not held.
    std::optional<std::string> Read(std::size_t index) const;
    void Settle(std::size_t index, std::optional<std::string> digest);

    const std::vector<Source> sources;
    const std::vector<std::uint64_t> sizes;
    mutable std::mutex mutex;
    std::condition_variable settled;
    std::vector<State> states;        // guarded by mutex
    std::vector<std::string> digests; // guarded by mutex
    std::size_t settledCount = 0;     // guarded by mutex
    bool inline_ = false;             // guarded by mutex: no thread, waiters read
    std::atomic<bool> stopping{false};
    std::thread reader;
};

} // namespace kestrane
