#include "chat/Sha256.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <openssl/evp.h>
#include <unistd.h>
#include <vector>

namespace kestrane {
namespace {

constexpr std::size_t kReadSize = 1 << 20;

} // namespace

void Sha256::Free::operator()(evp_md_ctx_st* doomed) const {
    EVP_MD_CTX_free(doomed);
}

Sha256::Sha256() : context(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* bytes, std::size_t count) {
    EVP_DigestUpdate(context.get(), bytes, count);
}

std::string Sha256::Finish() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int at = 0; at < length; ++at) {
        text += kDigits[digest[at] >> 4];
        text += kDigits[digest[at] & 0x0F];
    }
    return text;
}

std::string Sha256::Peek() const {
    Sha256 copy;
    EVP_MD_CTX_copy_ex(copy.context.get(), context.get());
    return copy.Finish();
}

bool Sha256::AddFile(int descriptor, std::uint64_t count, const std::atomic<bool>* stop) {
    std::vector<char> buffer(std::min<std::uint64_t>(count, kReadSize));
    for (std::uint64_t done = 0; done < count;) {
        if (stop != nullptr && *stop) {
            return false;
        }
        const std::size_t want = std::min<std::uint64_t>(buffer.size(), count - done);
        const ssize_t got = ::pread(descriptor, buffer.data(), want, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        Add(buffer.data(), static_cast<std::size_t>(got));
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

std::optional<std::string> Sha256::OfFile(int descriptor, std::uint64_t size,
                                          const std::atomic<bool>* stop) {
    Sha256 hash;
    if (!hash.AddFile(descriptor, size, stop)) {
        return std::nullopt;
    }
    return hash.Finish();
}

} // namespace kestrane
