#pragma once

#include "security/FrameOpener.h"
#include "security/FrameSealer.h"
#include "security/NoiseHandshake.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrane {

/// The Noise XX handshake over a reliable, ordered byte stream (TCP), with
/// empty payloads: each message goes as a frame
///     length (2 bytes, big-endian) | Noise message
/// and the three are exactly 32, 96 and 64 bytes, so a frame of any other
/// length fails the handshake before any public-key work. Then FrameSealer
/// and FrameOpener carry the transport. Moves no bytes itself: the caller
/// writes what it is given and feeds what it reads. One thread at a time.
class StreamHandshake {
public:
    static constexpr std::array<std::size_t, 3> kMessageSizes{32, 96, 64};
    /// Bytes on the stream for the whole handshake, both ways.
    static constexpr std::size_t kStreamBytes = 3 * FrameSealer::kLengthSize + 32 + 96 + 64;

    StreamHandshake(NoiseRole role, const KeyPair& localStatic,
                    std::span<const std::uint8_t> prologue);

    /// The initiator's first frame, before anything is fed; empty for the
    /// responder, and when called again.
    std::vector<std::uint8_t> Start();
    /// Takes bytes read from the stream, in pieces of any size: the frames to
    /// write in answer (perhaps none), or nothing once the handshake failed.
    /// Bytes past its last frame are kept for the FrameOpener.
    std::optional<std::vector<std::uint8_t>> Feed(std::span<const std::uint8_t> bytes);

    bool Done() const { return !Failed() && handshake.Finished(); }
    bool Failed() const { return broken || handshake.Failed(); }
    /// The peer's static key, once its message carrying it authenticated.
    const std::optional<PublicKey>& RemoteStatic() const { return handshake.RemoteStatic(); }

    struct Transport {
        FrameSealer sealer;
        FrameOpener opener;
    };
    /// The transport halves, once Done; the opener holds the bytes already
    /// read past the handshake. Nothing before, or when called again.
    std::optional<Transport> Split();

private:
    /// Appends the next message, framed, to `out`; false on failure.
    bool WriteNext(std::vector<std::uint8_t>& out);
    std::size_t Step() const { return written + read; }

    NoiseHandshake handshake;
    std::vector<std::uint8_t> pending; // read, not yet a whole frame
    std::size_t written = 0;
    std::size_t read = 0;
    bool started = false;
    bool split = false;
    bool broken = false;
};

} // namespace kestrane
