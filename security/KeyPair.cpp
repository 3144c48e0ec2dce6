#include "security/KeyPair.h"

#include "security/Sodium.h"

#include <sodium.h>

namespace kestrane {

std::optional<KeyPair> KeyPair::Generate() {
    if (!SodiumReady()) {
        return std::nullopt;
    }
    KeyPair pair;
    crypto_box_keypair(pair.publicKey.data(), pair.privateKey.Data());
    return pair;
}

std::optional<KeyPair> KeyPair::FromPrivate(std::span<const std::uint8_t> privateKey) {
    if (privateKey.size() != kKeySize || !SodiumReady()) {
        return std::nullopt;
    }
    KeyPair pair;
    pair.privateKey = Secret32(privateKey.first<kKeySize>());
    crypto_scalarmult_base(pair.publicKey.data(), pair.privateKey.Data());
    return pair;
}

std::optional<Secret32> KeyPair::Agree(const PublicKey& remote) const {
    Secret32 shared;
    // crypto_scalarmult fails exactly when the shared point is all zeros.
    if (crypto_scalarmult(shared.Data(), privateKey.Data(), remote.data()) != 0) {
        return std::nullopt;
    }
    return shared;
}

} // namespace kestrane
