#include "security/StreamHandshake.h"

#include <utility>

namespace kestrane {

StreamHandshake::StreamHandshake(NoiseRole role, const KeyPair& localStatic,
                                 std::span<const std::uint8_t> prologue)
    : handshake(role, localStatic, prologue) {}

std::vector<std::uint8_t> StreamHandshake::Start() {
    std::vector<std::uint8_t> out;
    if (!std::exchange(started, true) && handshake.Role() == NoiseRole::Initiator) {
        WriteNext(out);
    }
    return out;
}

bool StreamHandshake::WriteNext(std::vector<std::uint8_t>& out) {
    const std::optional<std::vector<std::uint8_t>> message = handshake.WriteMessage({});
    if (!message || message->size() != kMessageSizes[Step()]) {
        return false;
    }
    out.push_back(static_cast<std::uint8_t>(message->size() >> 8));
    out.push_back(static_cast<std::uint8_t>(message->size() & 0xff));
    out.insert(out.end(), message->begin(), message->end());
    ++written;
    return true;
}

std::optional<std::vector<std::uint8_t>>
StreamHandshake::Feed(std::span<const std::uint8_t> bytes) {
    started = true;
    if (Failed()) {
        return std::nullopt;
    }
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    while (!handshake.Finished() && !handshake.MyTurn() &&
           pending.size() - at >= FrameSealer::kLengthSize) {
        const std::size_t length = std::size_t{pending[at]} << 8 | pending[at + 1];
        if (length != kMessageSizes[Step()]) {
            broken = true; // before any public-key work
            return std::nullopt;
        }
        if (pending.size() - at - FrameSealer::kLengthSize < length) {
            break;
        }
        if (!handshake.ReadMessage(
                std::span(pending).subspan(at + FrameSealer::kLengthSize, length))) {
            broken = true;
            return std::nullopt;
        }
        ++read;
        at += FrameSealer::kLengthSize + length;
        if (!handshake.Finished() && handshake.MyTurn() && !WriteNext(out)) {
            broken = true;
            return std::nullopt;
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    return out;
}

std::optional<StreamHandshake::Transport> StreamHandshake::Split() {
    if (!Done() || std::exchange(split, true)) {
        return std::nullopt;
    }
    std::optional<std::pair<NoiseCipherState, NoiseCipherState>> states = handshake.Split();
    if (!states) {
        return std::nullopt;
    }
    const bool initiator = handshake.Role() == NoiseRole::Initiator;
    NoiseCipherState sending = initiator ? std::move(states->first) : std::move(states->second);
    NoiseCipherState receiving = initiator ? std::move(states->second) : std::move(states->first);
    return Transport{FrameSealer(std::move(sending)),
                     FrameOpener(std::move(receiving), std::move(pending))};
}

} // namespace kestrane
