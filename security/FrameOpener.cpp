#include "security/FrameOpener.h"

#include "security/FrameSealer.h"

#include <utility>

namespace kestrane {

FrameOpener::FrameOpener(NoiseCipherState receivingState, std::vector<std::uint8_t> begun)
    : receiving(std::move(receivingState)), pending(std::move(begun)) {}

bool FrameOpener::Open(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& plaintext) {
    if (broken) {
        return false;
    }
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    std::size_t at = 0;
    while (pending.size() - at >= FrameSealer::kLengthSize) {
        const std::size_t length = std::size_t{pending[at]} << 8 | pending[at + 1];
        if (length < NoiseCipherState::kTagSize) {
            broken = true;
            break;
        }
        if (pending.size() - at - FrameSealer::kLengthSize < length) {
            break;
        }
        const std::size_t into = plaintext.size();
        plaintext.resize(into + length - NoiseCipherState::kTagSize);
        if (!receiving.DecryptInto(
                std::span(pending).subspan(at + FrameSealer::kLengthSize, length),
                std::span(plaintext).subspan(into))) {
            plaintext.resize(into);
            broken = true;
            break;
        }
        at += FrameSealer::kLengthSize + length;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    if (broken) {
        pending.clear();
    }
    return !broken;
}

} // namespace kestrane
