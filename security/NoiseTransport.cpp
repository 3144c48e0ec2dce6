#include "security/NoiseTransport.h"

#include <utility>

namespace kestrane {

NoiseTransport::NoiseTransport(NoiseCipherState sendingState, NoiseCipherState receivingState)
    : sending(std::move(sendingState)), receiving(std::move(receivingState)) {}

std::optional<NoiseTransport> NoiseTransport::After(const NoiseHandshake& handshake) {
    auto states = handshake.Split();
    if (!states) {
        return std::nullopt;
    }
    if (handshake.Role() == NoiseRole::Initiator) {
        return NoiseTransport(std::move(states->first), std::move(states->second));
    }
    return NoiseTransport(std::move(states->second), std::move(states->first));
}

std::optional<std::vector<std::uint8_t>>
NoiseTransport::Seal(std::span<const std::uint8_t> plaintext) {
    if (plaintext.size() > kMaxPlaintext || Exhausted()) {
        return std::nullopt;
    }
    const std::uint64_t counter = sending.Nonce();
    auto ciphertext = sending.EncryptWithAd({}, plaintext);
    if (!ciphertext) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> datagram(kCounterSize);
    for (std::size_t i = 0; i < kCounterSize; ++i) {
        datagram[i] = static_cast<std::uint8_t>(counter >> (8 * i));
    }
    datagram.insert(datagram.end(), ciphertext->begin(), ciphertext->end());
    return datagram;
}

std::optional<std::vector<std::uint8_t>>
NoiseTransport::Open(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kOverhead ||
        datagram.size() > kCounterSize + kMaxPlaintext + NoiseCipherState::kTagSize) {
        return std::nullopt;
    }
    std::uint64_t counter = 0;
    for (std::size_t i = 0; i < kCounterSize; ++i) {
        counter |= std::uint64_t{datagram[i]} << (8 * i);
    }
    if (!window.Fresh(counter)) {
        return std::nullopt;
    }
    receiving.SetNonce(counter);
    auto plaintext = receiving.DecryptWithAd({}, datagram.subspan(kCounterSize));
    if (plaintext) {
        window.Accept(counter);
    }
    return plaintext;
}

} // namespace kestrane
