#include "files/Sha256.h"

#include "platform/OnDemandLibrary.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <optional>
#include <unistd.h>
#include <vector>

namespace kestrane {
namespace {

constexpr std::size_t kReadSize = 1 << 20;

// The few functions of OpenSSL's digests that a Sha256 calls.
struct Crypto {
    decltype(&EVP_MD_CTX_new) newContext;
    decltype(&EVP_MD_CTX_free) freeContext;
    decltype(&EVP_MD_CTX_copy_ex) copyContext;
    decltype(&EVP_sha256) sha256;
    decltype(&EVP_DigestInit_ex) init;
    decltype(&EVP_DigestUpdate) update;
    decltype(&EVP_DigestFinal_ex) finish;
};

// libcrypto is opened at the first digest rather than linked: loading it costs
// a copy 1.4 MiB (its relocations and symbol tables), and most copies never
// send or fetch a file. The package depends on it. Null, with the loader's
// reason, when it cannot be opened.
const Crypto* TryLoadCrypto(std::string* error) {
    static std::string reason;
    static const std::optional<Crypto> crypto = []() -> std::optional<Crypto> {
        OnDemandLibrary library("libcrypto.so." OPENSSL_MSTR(OPENSSL_SHLIB_VERSION));
        Crypto found{};
        library.Find("EVP_MD_CTX_new", found.newContext);
        library.Find("EVP_MD_CTX_free", found.freeContext);
        library.Find("EVP_MD_CTX_copy_ex", found.copyContext);
        library.Find("EVP_sha256", found.sha256);
        library.Find("EVP_DigestInit_ex", found.init);
        library.Find("EVP_DigestUpdate", found.update);
        library.Find("EVP_DigestFinal_ex", found.finish);
        if (!library.Complete()) {
            const char* why = dlerror();
            reason = why != nullptr ? why : "libcrypto is incomplete";
            return std::nullopt;
        }
        return found;
    }();
    if (!crypto && error != nullptr) {
        *error = "SHA-256 is not available: " + reason + ".";
    }
    return crypto ? &*crypto : nullptr;
}

// Past a successful Usable: a Sha256 is made only then.
const Crypto& LoadCrypto() {
    const Crypto* crypto = TryLoadCrypto(nullptr);
    if (crypto == nullptr) {
        std::abort();
    }
    return *crypto;
}

} // namespace

bool Sha256::Usable(std::string& error) {
    return TryLoadCrypto(&error) != nullptr;
}

void Sha256::Free::operator()(evp_md_ctx_st* doomed) const {
    LoadCrypto().freeContext(doomed);
}

Sha256::Sha256() : context(LoadCrypto().newContext()) {
    LoadCrypto().init(context.get(), LoadCrypto().sha256(), nullptr);
}

Sha256::~Sha256() = default;

Sha256::Sha256(const Sha256& other) : context(LoadCrypto().newContext()) {
    LoadCrypto().copyContext(context.get(), other.context.get());
}

Sha256& Sha256::operator=(const Sha256& other) {
    if (this != &other) {
        LoadCrypto().copyContext(context.get(), other.context.get());
    }
    return *this;
}

void Sha256::Add(const void* bytes, std::size_t count) {
    LoadCrypto().update(context.get(), bytes, count);
}

std::string Sha256::Finish() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    LoadCrypto().finish(context.get(), digest.data(), &length);
    LoadCrypto().init(context.get(), LoadCrypto().sha256(), nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int at = 0; at < length; ++at) {
        text += kDigits[digest[at] >> 4];
        text += kDigits[digest[at] & 0x0F];
    }
    return text;
}

std::string Sha256::Peek() const {
    Sha256 copy(*this);
    return copy.Finish();
}

bool Sha256::AddFile(int descriptor, std::uint64_t count, const std::atomic<bool>* stop) {
    return AddFilePart(descriptor, 0, count, stop);
}

bool Sha256::AddFilePart(int descriptor, std::uint64_t from, std::uint64_t count,
                         const std::atomic<bool>* stop) {
    std::vector<char> buffer(std::min<std::uint64_t>(count, kReadSize));
    for (std::uint64_t done = 0; done < count;) {
        if (stop != nullptr && *stop) {
            return false;
        }
        const std::size_t want = std::min<std::uint64_t>(buffer.size(), count - done);
        const ssize_t got =
            ::pread(descriptor, buffer.data(), want, static_cast<off_t>(from + done));
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
