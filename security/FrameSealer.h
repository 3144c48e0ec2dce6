#pragma once

#include "security/NoiseCipherState.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrane {

/// The sending half of Noise over a reliable, ordered byte stream. Each
/// transport message goes as a frame
///     length (2 bytes, big-endian) | ciphertext (plaintext + 16-byte tag)
/// with the nonce implicit: the stream keeps the order, so both sides count
/// frames from 0. One thread at a time; the opening half may run on another.
class FrameSealer {
public:
    static constexpr std::size_t kLengthSize = 2;
    /// A Noise message holds at most 65535 bytes, the tag included.
    static constexpr std::size_t kMaxPlaintext = 65535 - NoiseCipherState::kTagSize;

    explicit FrameSealer(NoiseCipherState sending);

    /// Appends to `frames` the frames carrying `plaintext`, split at
    /// kMaxPlaintext (an empty plaintext is one frame of its tag alone).
    /// False, appending nothing more, once the nonce is exhausted: the
    /// stream can carry nothing further under these keys.
    bool Seal(std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& frames);

    /// The bytes on the stream for `plaintext` bytes.
    static std::size_t FramedSize(std::size_t plaintext);

private:
    NoiseCipherState sending;
};

} // namespace kestrane
