#include "security/FrameSealer.h"

#include <algorithm>
#include <utility>

namespace kestrane {

FrameSealer::FrameSealer(NoiseCipherState sendingState) : sending(std::move(sendingState)) {}

bool FrameSealer::Seal(std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& frames) {
    do {
        const std::span<const std::uint8_t> part =
            plaintext.first(std::min(plaintext.size(), kMaxPlaintext));
        const std::size_t length = part.size() + NoiseCipherState::kTagSize;
        const std::size_t at = frames.size();
        frames.resize(at + kLengthSize + length);
        frames[at] = static_cast<std::uint8_t>(length >> 8);
        frames[at + 1] = static_cast<std::uint8_t>(length & 0xff);
        if (!sending.EncryptInto(part, std::span(frames).subspan(at + kLengthSize, length))) {
            frames.resize(at);
            return false;
        }
        plaintext = plaintext.subspan(part.size());
    } while (!plaintext.empty());
    return true;
}

std::size_t FrameSealer::FramedSize(std::size_t plaintext) {
    const std::size_t frames =
        std::max<std::size_t>(1, (plaintext + kMaxPlaintext - 1) / kMaxPlaintext);
    return plaintext + frames * (kLengthSize + NoiseCipherState::kTagSize);
}

} // namespace kestrane
