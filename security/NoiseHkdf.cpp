#include "security/NoiseHkdf.h"

#include <sodium.h>

namespace kestrane {

namespace {

// HMAC-SHA256 of `first || second` under `key`; libsodium takes keys of any length.
Secret32 Hmac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> first,
              std::span<const std::uint8_t> second) {
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.data(), key.size());
    crypto_auth_hmacsha256_update(&state, first.data(), first.size());
    crypto_auth_hmacsha256_update(&state, second.data(), second.size());
    Secret32 out;
    crypto_auth_hmacsha256_final(&state, out.Data());
    sodium_memzero(&state, sizeof state);
    return out;
}

} // namespace

std::pair<Secret32, Secret32> NoiseHkdf(std::span<const std::uint8_t> chainingKey,
                                        std::span<const std::uint8_t> inputKeyMaterial) {
    const Secret32 tempKey = Hmac(chainingKey, inputKeyMaterial, {});
    const std::uint8_t one = 0x01;
    const std::uint8_t two = 0x02;
    Secret32 output1 = Hmac(tempKey.View(), {}, {&one, 1});
    Secret32 output2 = Hmac(tempKey.View(), output1.View(), {&two, 1});
    return {output1, output2};
}

} // namespace kestrane
