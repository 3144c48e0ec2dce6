#pragma once

#include "security/NoiseCipherState.h"
#include "security/NoiseHandshake.h"
#include "security/ReplayWindow.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrane {

/// Noise transport messages over datagrams, which may be lost, duplicated or
/// reordered, so each carries its nonce. A datagram is
///     counter (8 bytes, little-endian) | ciphertext (plaintext + 16-byte tag)
/// where the ciphertext is ChaChaPoly under the sending CipherState with the
/// counter as its nonce n and empty associated data: the counter's bytes are
/// the nonce's last 8 bytes. The sender counts from 0. The receiver takes each
/// counter at most once within its ReplayWindow, marking it only after the
/// datagram authenticated.
///
/// Seal uses only the sending half and Open only the receiving half: one
/// thread may seal while another opens; each half one thread at a time.
class NoiseTransport {
public:
    static constexpr std::size_t kCounterSize = 8;
    static constexpr std::size_t kOverhead = kCounterSize + NoiseCipherState::kTagSize;
    /// The ciphertext is a Noise message: at most 65535 bytes.
    static constexpr std::size_t kMaxPlaintext =
        NoiseHandshake::kMaxMessageSize - NoiseCipherState::kTagSize;

    NoiseTransport(NoiseCipherState sending, NoiseCipherState receiving);
    /// The transport of a handshake that went through, from `handshake`'s side.
    static std::optional<NoiseTransport> After(const NoiseHandshake& handshake);

    /// The datagram carrying `plaintext`. Nothing when it is over
    /// kMaxPlaintext or the counter is Exhausted().
    std::optional<std::vector<std::uint8_t>> Seal(std::span<const std::uint8_t> plaintext);
    /// The sending counter reached 2^64-1, which Noise reserves: nothing more
    /// can be sent under these keys, and the caller makes a new handshake.
    bool Exhausted() const { return sending.Nonce() == NoiseCipherState::kReservedNonce; }
    /// The plaintext of a datagram from the peer; nothing when it is too short
    /// or too long, does not authenticate, or its counter is not fresh.
    std::optional<std::vector<std::uint8_t>> Open(std::span<const std::uint8_t> datagram);

private:
    NoiseCipherState sending;
    NoiseCipherState receiving;
    ReplayWindow window;
};

} // namespace kestrane
