#pragma once

#include "security/NoiseCipherState.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrane {

/// The receiving half of Noise over a reliable, ordered byte stream: takes
/// the bytes as they are read, in pieces of any size, and gives the
/// plaintext of each whole frame (FrameSealer's format). A frame shorter than
/// its tag, or one that does not authenticate (changed, cut, repeated or out
/// of order), breaks the stream for good. Holds at most one frame begun
/// (65537 bytes). One thread at a time; the sealing half may run on another.
class FrameOpener {
public:
    /// `pending` is what was read past the handshake's last frame.
    explicit FrameOpener(NoiseCipherState receiving, std::vector<std::uint8_t> pending = {});

    /// Appends to `plaintext` what every frame completed by `bytes` carries.
    /// False once the stream is broken; what the good frames before the
    /// break carried is appended all the same.
    bool Open(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& plaintext);
    bool Broken() const { return broken; }
    /// Bytes of a frame begun and not yet whole.
    std::size_t Pending() const { return pending.size(); }

private:
    NoiseCipherState receiving;
    std::vector<std::uint8_t> pending;
    bool broken = false;
};

} // namespace kestrane
