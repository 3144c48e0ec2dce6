#pragma once

#include "files/FileSink.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrane {

class Sha256;

/// The disk and digest side of receiving one file. The fetch thread fills the
/// slots of a small ring in order; a writer thread writes each to the file
/// (FileSink) while a digest thread adds it to the file's SHA-256, and a slot
/// is filled again once both are done with it. The file and the hash belong to
/// the pipeline's threads from Make until Finish returns or it is destroyed.
/// Next, Fill and Finish: the fetch thread; Stop: any thread.
class ReceivePipeline {
public:
    static constexpr std::size_t kSlotBytes = 1 << 20;
    /// Slots of one file, and of all files being received in the process.
    static constexpr std::size_t kSlots = 8;
    static constexpr std::size_t kSlotsInAll = 64;

    /// A pipeline for the `count` bytes to come of `file` from `position` on;
    /// `progress` grows by the bytes written. Nothing when the slots of the
    /// process are all in use: the caller writes and hashes on its own.
    static std::unique_ptr<ReceivePipeline> Make(int file, std::uint64_t position,
                                                 std::uint64_t count, Sha256& hash,
                                                 std::atomic<std::uint64_t>& progress);
    ~ReceivePipeline();
    ReceivePipeline(const ReceivePipeline&) = delete;
    ReceivePipeline& operator=(const ReceivePipeline&) = delete;

    /// The slot to fill next (kSlotBytes), waiting while the writer or the
    /// digest still holds it; nullptr once a write failed or Stop was called.
    char* Next();
    /// Hands the slot from Next, holding `count` bytes, on.
    void Fill(std::size_t count);
    /// Waits until every filled slot is written and added: 0, else the errno
    /// of the write that failed, or ECANCELED after Stop. `position`: where
    /// the bytes written end.
    int Finish(std::uint64_t& position);
    /// The threads stop after the slot they hold; the slots not yet written
    /// are dropped.
    void Stop();

private:
    ReceivePipeline(int file, std::uint64_t position, std::size_t slots, Sha256& hash,
                    std::atomic<std::uint64_t>& progress);
    void Write();
    void Digest();
    /// Waits for slot `done` to be filled; false when the thread is to end.
    bool Await(std::unique_lock<std::mutex>& lock, const std::uint64_t& done);
    char* Slot(std::uint64_t index) const { return ring.get() + (index % slots) * kSlotBytes; }
    void Join();

    const std::size_t slots;
    const std::unique_ptr<char[]> ring;
    std::vector<std::size_t> sizes; // of each slot's bytes: the fetch thread writes a slot's
                                    // size before it is filled, the others read it after
    FileSink sink;                  // the writer thread's
    Sha256& hash;                   // the digest thread's
    std::atomic<std::uint64_t>& progress;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t filled = 0; // slots handed on; guarded by mutex, as are the next four
    std::uint64_t written = 0;
    std::uint64_t digested = 0;
    bool closing = false; // Finish: nothing more is filled
    bool stopped = false; // Stop, or a write failed
    int writeError = 0;
    std::thread writer;
    std::thread digester;
};

} // namespace kestrane
