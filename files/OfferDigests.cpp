#include "files/OfferDigests.h"

#include "files/Sha256.h"

#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kestrane {
namespace {

std::vector<std::uint64_t> SizesOf(const FileManifest& manifest) {
    std::vector<std::uint64_t> sizes;
    sizes.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) {
        sizes.push_back(entry.size);
    }
    return sizes;
}

} // namespace

OfferDigests::OfferDigests(const FileManifest& manifest, std::vector<Source> offered)
    : sources(std::move(offered)), sizes(SizesOf(manifest)),
      states(manifest.entries.size(), State::Pending), digests(manifest.entries.size()) {
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

std::optional<std::string> OfferDigests::Read(std::size_t index) const {
    const Source& source = sources[index];
    if (source.folder == nullptr) {
        return std::nullopt;
    }
    const int file = source.folder->OpenForReading(source.path);
    struct stat status {};
    std::optional<std::string> digest;
    if (file >= 0 && ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
        FileStamp::Of(status) == source.stamp) {
        digest = Sha256::OfFile(file, sizes[index], &stopping);
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
