#include "security/NoiseHandshake.h"

#include <algorithm>
#include <array>

namespace kestrane {

namespace {

enum class Token { E, S, EE, ES, SE };

constexpr std::array kFirst{Token::E};
constexpr std::array kSecond{Token::E, Token::EE, Token::S, Token::ES};
constexpr std::array kThird{Token::S, Token::SE};
constexpr std::array<std::span<const Token>, 3> kPattern{kFirst, kSecond, kThird};

constexpr std::size_t kKeySize = KeyPair::kKeySize;

void Append(std::vector<std::uint8_t>& to, std::span<const std::uint8_t> bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

} // namespace

NoiseHandshake::NoiseHandshake(NoiseRole handshakeRole, const KeyPair& staticPair,
                               std::span<const std::uint8_t> prologue,
                               std::optional<KeyPair> ephemeral)
    : role(handshakeRole), symmetric(kProtocolName), localStatic(staticPair),
      fixedEphemeral(std::move(ephemeral)) {
    symmetric.MixHash(prologue);
}

bool NoiseHandshake::MyTurn() const {
    return !Finished() && (step % 2 == 0) == (role == NoiseRole::Initiator);
}

std::optional<std::vector<std::uint8_t>> NoiseHandshake::Fail() {
    failed = true;
    localEphemeral.reset();
    return std::nullopt;
}

void NoiseHandshake::Advance() {
    // The ephemeral private key is needed no longer than the handshake.
    if (++step == kMessages) {
        localEphemeral.reset();
    }
}

bool NoiseHandshake::MixDh(const KeyPair& local, const std::optional<PublicKey>& remote) {
    if (!remote) {
        return false;
    }
    const auto shared = local.Agree(*remote);
    if (!shared) {
        return false;
    }
    symmetric.MixKey(shared->View());
    return true;
}

std::optional<std::vector<std::uint8_t>>
NoiseHandshake::WriteMessage(std::span<const std::uint8_t> payload) {
    if (!MyTurn()) {
        return Fail();
    }
    const bool initiator = role == NoiseRole::Initiator;
    std::vector<std::uint8_t> message;
    for (const Token token : kPattern[step]) {
        bool mixed = true;
        switch (token) {
        case Token::E:
            localEphemeral = fixedEphemeral ? std::move(fixedEphemeral) : KeyPair::Generate();
            fixedEphemeral.reset();
            if (!localEphemeral) {
                return Fail();
            }
            Append(message, localEphemeral->Public());
            symmetric.MixHash(localEphemeral->Public());
            break;
        case Token::S: {
            const auto encrypted = symmetric.EncryptAndHash(localStatic.Public());
            if (!encrypted) {
                return Fail();
            }
            Append(message, *encrypted);
            break;
        }
        case Token::EE:
            mixed = MixDh(*localEphemeral, remoteEphemeral);
            break;
        case Token::ES:
            mixed = initiator ? MixDh(*localEphemeral, remoteStatic)
                              : MixDh(localStatic, remoteEphemeral);
            break;
        case Token::SE:
            mixed = initiator ? MixDh(localStatic, remoteEphemeral)
                              : MixDh(*localEphemeral, remoteStatic);
            break;
        }
        if (!mixed) {
            return Fail();
        }
    }
    const auto encryptedPayload = symmetric.EncryptAndHash(payload);
    if (!encryptedPayload || message.size() + encryptedPayload->size() > kMaxMessageSize) {
        return Fail();
    }
    Append(message, *encryptedPayload);
    Advance();
    return message;
}

std::optional<std::vector<std::uint8_t>>
NoiseHandshake::ReadMessage(std::span<const std::uint8_t> message) {
    if (Finished() || MyTurn() || message.size() > kMaxMessageSize) {
        return Fail();
    }
    const bool initiator = role == NoiseRole::Initiator;
    for (const Token token : kPattern[step]) {
        bool mixed = true;
        switch (token) {
        case Token::E: {
            if (message.size() < kKeySize) {
                return Fail();
            }
            PublicKey key;
            std::copy_n(message.begin(), kKeySize, key.begin());
            remoteEphemeral = key;
            symmetric.MixHash(key);
            message = message.subspan(kKeySize);
            break;
        }
        case Token::S: {
            const std::size_t size =
                kKeySize + (symmetric.HasKey() ? NoiseCipherState::kTagSize : 0);
            if (message.size() < size) {
                return Fail();
            }
            const auto key = symmetric.DecryptAndHash(message.first(size));
            if (!key || key->size() != kKeySize) {
                return Fail();
            }
            remoteStatic.emplace();
            std::copy(key->begin(), key->end(), remoteStatic->begin());
            message = message.subspan(size);
            break;
        }
        case Token::EE:
            mixed = MixDh(*localEphemeral, remoteEphemeral);
            break;
        case Token::ES:
            mixed = initiator ? MixDh(*localEphemeral, remoteStatic)
                              : MixDh(localStatic, remoteEphemeral);
            break;
        case Token::SE:
            mixed = initiator ? MixDh(localStatic, remoteEphemeral)
                              : MixDh(*localEphemeral, remoteStatic);
            break;
        }
        if (!mixed) {
            return Fail();
        }
    }
    auto payload = symmetric.DecryptAndHash(message);
    if (!payload) {
        return Fail();
    }
    Advance();
    return payload;
}

std::optional<std::pair<NoiseCipherState, NoiseCipherState>> NoiseHandshake::Split() const {
    if (failed || step != kMessages) {
        return std::nullopt;
    }
    return symmetric.Split();
}

} // namespace kestrane
