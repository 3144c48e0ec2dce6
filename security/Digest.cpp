#include "security/Digest.h"

#include <sodium.h>

namespace kestrane {

static_assert(kSha256Size == crypto_hash_sha256_BYTES);

std::array<std::uint8_t, kSha256Size> Sha256Of(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, kSha256Size> digest{};
    crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
    return digest;
}

std::string Sha256Hex(std::string_view bytes) {
    const auto digest =
        Sha256Of({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    std::array<char, kSha256Size * 2 + 1> hex{};
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    return {hex.data(), kSha256Size * 2};
}

} // namespace kestrane
