#pragma once

#include "security/Secret.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace kestrane {

/// The CipherState of the Noise framework (revision 34, section 5.1) with
/// ChaChaPoly (ChaCha20-Poly1305 of RFC 8439, libsodium's IETF variant): a key
/// k that may be empty and a 64-bit nonce n. The 96-bit nonce is 4 zero bytes
/// then n in little-endian. n = 2^64-1 is reserved and never used: once n gets
/// there every call fails, and the caller starts a new handshake.
/// One thread at a time.
class NoiseCipherState {
public:
    static constexpr std::size_t kTagSize = 16;
    static constexpr std::uint64_t kReservedNonce = std::numeric_limits<std::uint64_t>::max();

    /// InitializeKey(key): k = key, n = 0.
    void InitializeKey(const Secret32& newKey);
    bool HasKey() const { return hasKey; }
    /// SetNonce(nonce), for transport messages that carry their nonce.
    void SetNonce(std::uint64_t newNonce) { nonce = newNonce; }
    std::uint64_t Nonce() const { return nonce; }

    /// ENCRYPT(k, n++, ad, plaintext), or the plaintext as it is while k is
    /// empty. Nothing when n is the reserved 2^64-1.
    std::optional<std::vector<std::uint8_t>> EncryptWithAd(std::span<const std::uint8_t> ad,
                                                           std::span<const std::uint8_t> plaintext);
    /// DECRYPT(k, n++, ad, ciphertext), or the ciphertext as it is while k is
    /// empty. Nothing when it does not authenticate (n then stays), when it is
    /// shorter than the tag, or when n is the reserved 2^64-1.
    std::optional<std::vector<std::uint8_t>>
    DecryptWithAd(std::span<const std::uint8_t> ad, std::span<const std::uint8_t> ciphertext);
    /// EncryptWithAd with empty ad, into `ciphertext` (plaintext + tag bytes,
    /// not overlapping it), for streams that cannot afford a copy. Needs a key.
    bool EncryptInto(std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> ciphertext);
    /// DecryptWithAd with empty ad, into `plaintext` (ciphertext - tag bytes,
    /// not overlapping it). Needs a key.
    bool DecryptInto(std::span<const std::uint8_t> ciphertext, std::span<std::uint8_t> plaintext);

private:
    Secret32 key;
    bool hasKey = false;
    std::uint64_t nonce = 0;
};

} // namespace kestrane
