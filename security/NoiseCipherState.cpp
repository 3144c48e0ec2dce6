#include "security/NoiseCipherState.h"

#include "security/Sodium.h"

#include <array>
#include <sodium.h>

namespace kestrane {

namespace {

std::array<std::uint8_t, crypto_aead_chacha20poly1305_IETF_NPUBBYTES> NonceBytes(std::uint64_t n) {
    std::array<std::uint8_t, crypto_aead_chacha20poly1305_IETF_NPUBBYTES> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    return bytes;
}

} // namespace

static_assert(NoiseCipherState::kTagSize == crypto_aead_chacha20poly1305_IETF_ABYTES);
static_assert(Secret32::kSize == crypto_aead_chacha20poly1305_IETF_KEYBYTES);

void NoiseCipherState::InitializeKey(const Secret32& newKey) {
    // Picks libsodium's fastest ChaCha20 for this processor before first use.
    SodiumReady();
    key = newKey;
    hasKey = true;
    nonce = 0;
}

std::optional<std::vector<std::uint8_t>>
NoiseCipherState::EncryptWithAd(std::span<const std::uint8_t> ad,
                                std::span<const std::uint8_t> plaintext) {
    if (!hasKey) {
        return std::vector<std::uint8_t>(plaintext.begin(), plaintext.end());
    }
    if (nonce == kReservedNonce) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> ciphertext(plaintext.size() + kTagSize);
    const auto nonceBytes = NonceBytes(nonce);
    crypto_aead_chacha20poly1305_ietf_encrypt(ciphertext.data(), nullptr, plaintext.data(),
                                              plaintext.size(), ad.data(), ad.size(), nullptr,
                                              nonceBytes.data(), key.Data());
    ++nonce;
    return ciphertext;
}

std::optional<std::vector<std::uint8_t>>
NoiseCipherState::DecryptWithAd(std::span<const std::uint8_t> ad,
                                std::span<const std::uint8_t> ciphertext) {
    if (!hasKey) {
        return std::vector<std::uint8_t>(ciphertext.begin(), ciphertext.end());
    }
    if (nonce == kReservedNonce || ciphertext.size() < kTagSize) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> plaintext(ciphertext.size() - kTagSize);
    const auto nonceBytes = NonceBytes(nonce);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), nullptr, nullptr,
                                                  ciphertext.data(), ciphertext.size(), ad.data(),
                                                  ad.size(), nonceBytes.data(), key.Data()) != 0) {
        return std::nullopt;
    }
    ++nonce;
    return plaintext;
}

bool NoiseCipherState::EncryptInto(std::span<const std::uint8_t> plaintext,
                                   std::span<std::uint8_t> ciphertext) {
    if (!hasKey || nonce == kReservedNonce || ciphertext.size() != plaintext.size() + kTagSize) {
        return false;
    }
    const auto nonceBytes = NonceBytes(nonce);
    crypto_aead_chacha20poly1305_ietf_encrypt(ciphertext.data(), nullptr, plaintext.data(),
                                              plaintext.size(), nullptr, 0, nullptr,
                                              nonceBytes.data(), key.Data());
    ++nonce;
    return true;
}

bool NoiseCipherState::DecryptInto(std::span<const std::uint8_t> ciphertext,
                                   std::span<std::uint8_t> plaintext) {
    if (!hasKey || nonce == kReservedNonce || ciphertext.size() < kTagSize ||
        plaintext.size() != ciphertext.size() - kTagSize) {
        return false;
    }
    const auto nonceBytes = NonceBytes(nonce);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), nullptr, nullptr,
                                                  ciphertext.data(), ciphertext.size(), nullptr, 0,
                                                  nonceBytes.data(), key.Data()) != 0) {
        return false;
    }
    ++nonce;
    return true;
}

} // namespace kestrane
