#pragma once

#include "files/FileManifest.h"
#include "files/OfferedFolder.h"
#include "files/Sha256.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrane {

/// The SHA-256 of each file of an offer, read on a thread of its own after
/// the offer is made, so that the offer leaves before its files are read. The
/// files are read in the manifest's order, the order receivers ask for them
/// in; a digest the manifest already holds is taken as it is. A file that is
/// no longer the one offered (same device, inode, size and modification
/// time), or cannot be read, has no digest.
///
/// A receiver that resumes names the digest of the bytes it holds, which the
/// sender checks. The check is answered from what was read already: the
/// whole file's digest, or the SHA-256 state kept every kCheckpointStride
/// bytes of what any read passed, so one check reads less than a stride once
/// the file was read. What checks read beyond that is capped for the offer
/// (its bytes and kExtraCheckBytes, unless given): a check past the cap is
/// refused unread, so a receiver's requests cannot make the sender read
/// without end.
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

    static constexpr std::uint64_t kCheckpointStride = 64 << 20;
    static constexpr std::size_t kMostCheckpoints = 4096;
    static constexpr std::uint64_t kExtraCheckBytes = 1 << 30;

    /// `checkBudget`: what checks may read in all, when not the default.
    OfferDigests(const FileManifest& manifest, std::vector<Source> sources,
                 std::optional<std::uint64_t> checkBudget = {});
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
    /// Whether the first `count` bytes of entry `index`, open as `file` and
    /// checked to be as offered, have the SHA-256 `digest`; false when they
    /// have not, cannot be read, `stop` was set, or the check would read
    /// beyond the budget.
    bool BeginsWith(std::size_t index, int file, std::uint64_t count, const std::string& digest,
                    const std::atomic<bool>& stop);

    static constexpr std::chrono::milliseconds kStopCheck{50};

private:
    enum class State { Pending, Known, Failed };

    void Run();
    /// Reads entry `index`; the lock is not held.
    std::optional<std::string> Read(std::size_t index);
    void Settle(std::size_t index, std::optional<std::string> digest);
    /// The offset of the latest checkpoint of entry `index` at or before
    /// `offset`, its state put in `hash` (0 and a fresh state when none). The
    /// lock is held.
    std::uint64_t Nearest(std::size_t index, std::uint64_t offset, Sha256& hash) const;
    /// Adds bytes `from` to `to` of `file` to `hash`, keeping a checkpoint at
    /// each stride it reaches; the lock is not held.
    bool AddKeeping(std::size_t index, int file, Sha256& hash, std::uint64_t from, std::uint64_t to,
                    const std::atomic<bool>* stop);

    const std::vector<Source> sources;
    const std::vector<std::uint64_t> sizes;
    mutable std::mutex mutex;
    std::condition_variable settled;
    std::vector<State> states;                                           // guarded by mutex
    std::vector<std::string> digests;                                    // guarded by mutex
    std::size_t settledCount = 0;                                        // guarded by mutex
    std::map<std::pair<std::size_t, std::uint64_t>, Sha256> checkpoints; // guarded by mutex
    std::uint64_t checkBytesLeft;                                        // guarded by mutex
    bool inline_ = false; // guarded by mutex: no thread, waiters read
    std::atomic<bool> stopping{false};
    std::thread reader;
};

} // namespace kestrane
