#pragma once

#include "security/NoiseCipherState.h"
#include "security/Secret.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrane {

/// The SymmetricState of the Noise framework (revision 34, section 5.2) with
/// SHA-256: a CipherState, the chaining key ck and the handshake hash h.
/// One thread at a time.
class NoiseSymmetricState {
public:
    static constexpr std::size_t kHashSize = 32;
    using Hash = std::array<std::uint8_t, kHashSize>;

    /// InitializeSymmetric(protocol_name): h is the name padded with zeros
    /// when it fits in 32 bytes, else its hash; ck = h; k empty.
    explicit NoiseSymmetricState(std::string_view protocolName);

    /// ck, temp_k = HKDF(ck, input_key_material, 2); InitializeKey(temp_k).
    void MixKey(std::span<const std::uint8_t> inputKeyMaterial);
    /// h = SHA-256(h || data).
    void MixHash(std::span<const std::uint8_t> data);
    /// EncryptWithAd(h, plaintext), then MixHash of the result.
    std::optional<std::vector<std::uint8_t>>
    EncryptAndHash(std::span<const std::uint8_t> plaintext);
    /// DecryptWithAd(h, ciphertext), then MixHash(ciphertext); nothing when it
    /// does not authenticate.
    std::optional<std::vector<std::uint8_t>>
    DecryptAndHash(std::span<const std::uint8_t> ciphertext);
    /// The two CipherStates of HKDF(ck, empty, 2): the first for messages from
    /// the initiator, the second for messages from the responder.
    std::pair<NoiseCipherState, NoiseCipherState> Split() const;

    bool HasKey() const { return cipher.HasKey(); }
    const Hash& HandshakeHash() const { return hash; }

private:
    NoiseCipherState cipher;
    Secret32 chainingKey;
    Hash hash{};
};

} // namespace kestrane
