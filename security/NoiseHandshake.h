#pragma once

#include "security/KeyPair.h"
#include "security/NoiseCipherState.h"
#include "security/NoiseSymmetricState.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrane {

enum class NoiseRole { Initiator, Responder };

/// The HandshakeState of the Noise framework (revision 34, section 5.3) for
/// Noise_XX_25519_ChaChaPoly_SHA256, the pattern
///     -> e
///     <- e, ee, s, es
///     -> s, se
/// with no pre-messages. Each side learns the other's static key from the
/// handshake; whether to trust it is the caller's business. The prologue is
/// the caller's: both sides must give the same bytes or the handshake fails.
///
/// Any failure (a message of the wrong size, one that does not authenticate,
/// an all-zero DH result, a call out of turn or after the end, a message over
/// 65535 bytes) ends the handshake for good: it is Finished() and Failed(),
/// and every later call fails. Holds its own copies of the keys, wiped with it.
/// One thread at a time.
class NoiseHandshake {
public:
    static constexpr std::string_view kProtocolName = "Noise_XX_25519_ChaChaPoly_SHA256";
    static constexpr std::size_t kMaxMessageSize = 65535;

    /// `fixedEphemeral` replaces the random ephemeral key, for published test
    /// vectors only: an ephemeral key used twice gives the sessions away.
    NoiseHandshake(NoiseRole role, const KeyPair& localStatic,
                   std::span<const std::uint8_t> prologue,
                   std::optional<KeyPair> fixedEphemeral = std::nullopt);

    /// The next message, carrying `payload`. Nothing when it is not this
    /// side's turn, the handshake is over, or the message would be too long.
    std::optional<std::vector<std::uint8_t>> WriteMessage(std::span<const std::uint8_t> payload);
    /// The payload of the peer's next message; nothing on any failure.
    std::optional<std::vector<std::uint8_t>> ReadMessage(std::span<const std::uint8_t> message);

    NoiseRole Role() const { return role; }
    /// Whether this side writes the next message.
    bool MyTurn() const;
    /// Whether no message is left to write or read: all three went through, or it failed.
    bool Finished() const { return failed || step == kMessages; }
    bool Failed() const { return failed; }
    /// The peer's static key, once its message carrying it authenticated.
    const std::optional<PublicKey>& RemoteStatic() const { return remoteStatic; }
    /// h: after the last message, the same on both sides and unique to this
    /// session (for channel binding).
    const NoiseSymmetricState::Hash& HandshakeHash() const { return symmetric.HandshakeHash(); }
    /// The transport CipherStates, the initiator's sending one first. Nothing
    /// unless all three messages went through.
    std::optional<std::pair<NoiseCipherState, NoiseCipherState>> Split() const;

private:
    static constexpr std::size_t kMessages = 3;

    bool MixDh(const KeyPair& local, const std::optional<PublicKey>& remote);
    std::optional<std::vector<std::uint8_t>> Fail();
    void Advance();

    NoiseRole role;
    NoiseSymmetricState symmetric;
    KeyPair localStatic;
    std::optional<KeyPair> localEphemeral;
    std::optional<KeyPair> fixedEphemeral;
    std::optional<PublicKey> remoteStatic;
    std::optional<PublicKey> remoteEphemeral;
    std::size_t step = 0;
    bool failed = false;
};

} // namespace kestrane
