#include "files/OfferDigests.h"

#include <algorithm>
#include <iterator>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kestrane {
namespace {

std::uint64_t TotalOf(const std::vector<std::uint64_t>& sizes) {
    std::uint64_t total = 0;
    for (const std::uint64_t size : sizes) {
        total += size;
    }
    return total;
}

std::vector<std::uint64_t> SizesOf(const FileManifest& manifest) {
    std::vector<std::uint64_t> sizes;
    sizes.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) {
        sizes.push_back(entry.size);
    }
    return sizes;
}

} // namespace

OfferDigests::OfferDigests(const FileManifest& manifest, std::vector<Source> offered,
                           std::optional<std::uint64_t> checkBudget)
    : sources(std::move(offered)), sizes(SizesOf(manifest)),
      states(manifest.entries.size(), State::Pending), digests(manifest.entries.size()),
      checkBytesLeft(checkBudget.value_or(TotalOf(sizes) + kExtraCheckBytes)) {
    for (std::size_t index = 0; index < manifest.entries.size(); ++index) {
        const ManifestEntry& entry = manifest.entries[index];
        if (entry.folder || !entry.digest.empty() || index >= sources.size()) {
            states[index] = entry.folder || entry.digest.empty() ? State::Failed : State::Known;
            digests[index] = entry.digest;
            ++settledCount;
        }
    }
}

OfferDigests::~OfferDigests() {
    Stop();
    if (reader.joinable()) {
        reader.join();
    }
}

void OfferDigests::Start() {
    try {
        reader = std::thread(&OfferDigests::Run, this);
    } catch (const std::system_error&) {
        std::lock_guard guard(mutex);
        inline_ = true;
    }
}

void OfferDigests::Stop() {
    stopping = true;
    std::lock_guard guard(mutex);
    settled.notify_all();
}

std::size_t OfferDigests::Settled() const {
    std::lock_guard guard(mutex);
    return settledCount;
}

std::optional<std::string> OfferDigests::Read(std::size_t index) {
    const Source& source = sources[index];
    if (source.folder == nullptr) {
        return std::nullopt;
    }
    const int file = source.folder->OpenForReading(source.path);
    struct stat status {};
    std::optional<std::string> digest;
    if (file >= 0 && ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
        FileStamp::Of(status) == source.stamp) {
        // What a check of held bytes read already is not read again.
        Sha256 hash;
        std::uint64_t from = 0;
        {
            std::lock_guard guard(mutex);
            from = Nearest(index, sizes[index], hash);
        }
        if (AddKeeping(index, file, hash, from, sizes[index], &stopping)) {
            digest = hash.Finish();
        }
    }
    if (file >= 0) {
        ::close(file);
    }
    return digest;
}

void OfferDigests::Settle(std::size_t index, std::optional<std::string> digest) {
    std::lock_guard guard(mutex);
    if (states[index] != State::Pending) {
        return;
    }
    // A read cut short by Stop says nothing about the file.
    if (!digest && stopping) {
        return;
    }
    states[index] = digest ? State::Known : State::Failed;
    digests[index] = digest.value_or(std::string());
    ++settledCount;
    settled.notify_all();
}

std::uint64_t OfferDigests::Nearest(std::size_t index, std::uint64_t offset, Sha256& hash) const {
    const auto after = checkpoints.upper_bound({index, offset});
    if (after == checkpoints.begin() || std::prev(after)->first.first != index) {
        return 0;
    }
    hash = std::prev(after)->second;
    return std::prev(after)->first.second;
}

bool OfferDigests::AddKeeping(std::size_t index, int file, Sha256& hash, std::uint64_t from,
                              std::uint64_t to, const std::atomic<bool>* stop) {
    while (from < to) {
        const std::uint64_t next = std::min(to, (from / kCheckpointStride + 1) * kCheckpointStride);
        if (!hash.AddFilePart(file, from, next - from, stop)) {
            return false;
        }
        from = next;
        if (from % kCheckpointStride == 0) {
            std::lock_guard guard(mutex);
            if (checkpoints.size() < kMostCheckpoints) {
                checkpoints.try_emplace({index, from}, hash);
            }
        }
    }
    return true;
}

bool OfferDigests::BeginsWith(std::size_t index, int file, std::uint64_t count,
                              const std::string& digest, const std::atomic<bool>& stop) {
    Sha256 hash;
    std::uint64_t from = 0;
    {
        std::lock_guard guard(mutex);
        if (index >= sizes.size() || count > sizes[index]) {
            return false;
        }
        if (count == sizes[index] && states[index] == State::Known) {
            return digests[index] == digest;
        }
        from = Nearest(index, count, hash);
        if (count - from > checkBytesLeft) {
            return false;
        }
        checkBytesLeft -= count - from;
    }
    return AddKeeping(index, file, hash, from, count, &stop) && hash.Finish() == digest;
}

void OfferDigests::Run() {
    for (std::size_t index = 0; index < states.size() && !stopping; ++index) {
        {
            std::lock_guard guard(mutex);
            if (states[index] != State::Pending) {
                continue;
            }
        }
        Settle(index, Read(index));
    }
}

std::optional<std::string> OfferDigests::Wait(std::size_t index, const std::atomic<bool>& stop) {
    if (index >= states.size()) {
        return std::nullopt;
    }
    std::unique_lock guard(mutex);
    if (inline_ && states[index] == State::Pending) {
        guard.unlock();
        Settle(index, Read(index));
        guard.lock();
    }
    while (states[index] == State::Pending && !stop && !stopping) {
        settled.wait_for(guard, kStopCheck);
    }
    if (states[index] != State::Known) {
        return std::nullopt;
    }
    return digests[index];
}

} // namespace kestrane
