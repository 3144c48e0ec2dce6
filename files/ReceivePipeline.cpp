#include "files/ReceivePipeline.h"

#include "files/Sha256.h"

#include <algorithm>
#include <cerrno>

namespace kestrane {
namespace {

// Slots reserved by the pipelines alive in the process.
std::atomic<std::size_t> slotsInUse{0};

} // namespace

std::unique_ptr<ReceivePipeline> ReceivePipeline::Make(int file, std::uint64_t position,
                                                       std::uint64_t count, Sha256& hash,
                                                       std::atomic<std::uint64_t>& progress) {
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(kSlots, (count + kSlotBytes - 1) / kSlotBytes));
    std::size_t used = slotsInUse.load();
    std::size_t taken = 0;
    do {
        taken = std::min(wanted, kSlotsInAll - used);
        // Fewer than two slots overlap nothing.
        if (taken < 2) {
            return nullptr;
        }
    } while (!slotsInUse.compare_exchange_weak(used, used + taken));
    return std::unique_ptr<ReceivePipeline>(
        new ReceivePipeline(file, position, taken, hash, progress));
}

ReceivePipeline::ReceivePipeline(int file, std::uint64_t position, std::size_t slotCount,
                                 Sha256& fileHash, std::atomic<std::uint64_t>& bytesWritten)
    : slots(slotCount), ring(std::make_unique_for_overwrite<char[]>(slotCount * kSlotBytes)),
      sizes(slotCount), sink(file, position), hash(fileHash), progress(bytesWritten),
      writer(&ReceivePipeline::Write, this), digester(&ReceivePipeline::Digest, this) {}

ReceivePipeline::~ReceivePipeline() {
    Stop();
    Join();
    slotsInUse -= slots;
}

void ReceivePipeline::Join() {
    if (writer.joinable()) {
        writer.join();
    }
    if (digester.joinable()) {
        digester.join();
    }
}

char* ReceivePipeline::Next() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return stopped || filled - std::min(written, digested) < slots; });
    return stopped ? nullptr : Slot(filled);
}

void ReceivePipeline::Fill(std::size_t count) {
    {
        std::lock_guard guard(mutex);
        sizes[filled % slots] = count;
        ++filled;
    }
    changed.notify_all();
}

int ReceivePipeline::Finish(std::uint64_t& position) {
    {
        std::lock_guard guard(mutex);
        closing = true;
    }
    changed.notify_all();
    Join();
    position = sink.Position();
    std::lock_guard guard(mutex);
    return writeError != 0 ? writeError : stopped ? ECANCELED : 0;
}

void ReceivePipeline::Stop() {
    {
        std::lock_guard guard(mutex);
        stopped = true;
    }
    changed.notify_all();
}

bool ReceivePipeline::Await(std::unique_lock<std::mutex>& lock, const std::uint64_t& done) {
    changed.wait(lock, [&] { return stopped || done < filled || closing; });
    return !stopped && done < filled;
}

// The writer thread.
void ReceivePipeline::Write() {
    std::unique_lock lock(mutex);
    while (Await(lock, written)) {
        const std::uint64_t index = written;
        lock.unlock();
        const std::size_t count = sizes[index % slots];
        const bool wrote = sink.Write(Slot(index), count);
        const int why = errno;
        if (wrote) {
            progress += count;
        }
        lock.lock();
        if (!wrote) {
            writeError = why;
            stopped = true;
        } else {
            ++written;
        }
        changed.notify_all();
    }
}

// The digest thread.
void ReceivePipeline::Digest() {
    std::unique_lock lock(mutex);
    while (Await(lock, digested)) {
        const std::uint64_t index = digested;
        lock.unlock();
        hash.Add(Slot(index), sizes[index % slots]);
        lock.lock();
        ++digested;
        changed.notify_all();
    }
}

} // namespace kestrane
