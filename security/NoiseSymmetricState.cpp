#include "security/NoiseSymmetricState.h"

#include "security/NoiseHkdf.h"

#include <algorithm>
#include <sodium.h>

namespace kestrane {

static_assert(NoiseSymmetricState::kHashSize == crypto_hash_sha256_BYTES);

NoiseSymmetricState::NoiseSymmetricState(std::string_view protocolName) {
    if (protocolName.size() <= kHashSize) {
        std::copy(protocolName.begin(), protocolName.end(), hash.begin());
    } else {
        crypto_hash_sha256(hash.data(), reinterpret_cast<const unsigned char*>(protocolName.data()),
                           protocolName.size());
    }
    chainingKey = Secret32(std::span<const std::uint8_t, kHashSize>(hash));
}

void NoiseSymmetricState::MixKey(std::span<const std::uint8_t> inputKeyMaterial) {
    auto [nextChainingKey, tempKey] = NoiseHkdf(chainingKey.View(), inputKeyMaterial);
    chainingKey = nextChainingKey;
    cipher.InitializeKey(tempKey);
}

void NoiseSymmetricState::MixHash(std::span<const std::uint8_t> data) {
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, hash.data(), hash.size());
    crypto_hash_sha256_update(&state, data.data(), data.size());
    crypto_hash_sha256_final(&state, hash.data());
}

std::optional<std::vector<std::uint8_t>>
NoiseSymmetricState::EncryptAndHash(std::span<const std::uint8_t> plaintext) {
    auto ciphertext = cipher.EncryptWithAd(hash, plaintext);
    if (ciphertext) {
        MixHash(*ciphertext);
    }
    return ciphertext;
}

std::optional<std::vector<std::uint8_t>>
NoiseSymmetricState::DecryptAndHash(std::span<const std::uint8_t> ciphertext) {
    auto plaintext = cipher.DecryptWithAd(hash, ciphertext);
    if (plaintext) {
        MixHash(ciphertext);
    }
    return plaintext;
}

std::pair<NoiseCipherState, NoiseCipherState> NoiseSymmetricState::Split() const {
    const auto [tempKey1, tempKey2] = NoiseHkdf(chainingKey.View(), {});
    std::pair<NoiseCipherState, NoiseCipherState> states;
    states.first.InitializeKey(tempKey1);
    states.second.InitializeKey(tempKey2);
    return states;
}

} // namespace kestrane
