#include "security/Fingerprint.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <sodium.h>
#include <string_view>

namespace kestrane {

namespace {

std::array<std::uint8_t, crypto_hash_sha256_BYTES>
LabelledDigest(std::string_view label, const PublicKey& first, const PublicKey* second) {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(label.data()),
                              label.size());
    crypto_hash_sha256_update(&state, first.data(), first.size());
    if (second != nullptr) {
        crypto_hash_sha256_update(&state, second->data(), second->size());
    }
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256_final(&state, digest.data());
    return digest;
}

} // namespace

std::string Fingerprint(const PublicKey& key) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    const auto digest = LabelledDigest("Kestrane fingerprint v1", key, nullptr);
    std::string code;
    // 16 characters of 5 bits each: the digest's first 10 bytes.
    for (int index = 0; index < 16; ++index) {
        const int bit = index * 5;
        const unsigned pair = (unsigned{digest[bit / 8]} << 8) | digest[bit / 8 + 1];
        if (index > 0 && index % 4 == 0) {
            code += ' ';
        }
        code += kAlphabet[(pair >> (11 - bit % 8)) & 31U];
    }
    return code;
}

std::string SafetyCode(const PublicKey& first, const PublicKey& second) {
    const bool ordered =
        std::lexicographical_compare(first.begin(), first.end(), second.begin(), second.end()) ||
        first == second;
    const auto digest = ordered ? LabelledDigest("Kestrane safety code v1", first, &second)
                                : LabelledDigest("Kestrane safety code v1", second, &first);
    std::uint64_t number = 0;
    for (int i = 0; i < 8; ++i) {
        number = (number << 8) | digest[i];
    }
    number %= 1'000'000'000'000ULL;
    std::string digits(12, '0');
    for (int i = 11; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + number % 10);
        number /= 10;
    }
    return digits.substr(0, 4) + ' ' + digits.substr(4, 4) + ' ' + digits.substr(8, 4);
}

} // namespace kestrane
