#pragma once

#include "security/Secret.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrane {

/// An X25519 public key as it travels: 32 bytes.
using PublicKey = std::array<std::uint8_t, 32>;

/// An X25519 key pair: a copy's identity (its static key) or a handshake's
/// ephemeral key. The private half is a Secret32, wiped with the pair.
/// One thread at a time.
class KeyPair {
public:
    static constexpr std::size_t kKeySize = 32;

    /// A new pair from the system's random source (crypto_box_keypair);
    /// nothing when libsodium cannot start.
    static std::optional<KeyPair> Generate();
    /// The pair of a stored private key; nothing unless it is exactly 32 bytes.
    static std::optional<KeyPair> FromPrivate(std::span<const std::uint8_t> privateKey);

    const PublicKey& Public() const { return publicKey; }
    const Secret32& Private() const { return privateKey; }
    /// X25519(private, remote). Nothing when the result is all zeros, which a
    /// remote key of small order forces: a handshake then fails rather than
    /// mixing a secret the peer chose.
    std::optional<Secret32> Agree(const PublicKey& remote) const;

private:
    KeyPair() = default;

    PublicKey publicKey{};
    Secret32 privateKey;
};

} // namespace kestrane
