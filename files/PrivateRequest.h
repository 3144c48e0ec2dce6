#pragma once

#include "security/KeyPair.h"
#include "security/StreamHandshake.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

/// A connection that asked for a private session (the clear line FILES/3),
/// until its first sealed line is whole: the responder's side of the Noise
/// handshake, fed the bytes as the listener receives them, then the opening
/// of the frames that carry the line. Holds at most one frame begun and one
/// request line. One thread at a time.
class PrivateRequest {
public:
    /// Bound into the handshake, so that neither end can be led to take a
    /// handshake of another protocol for this one.
    static constexpr std::string_view kPrologue = "Kestrane FILES/3";

    enum class State { Waiting, Failed, Ready };

    explicit PrivateRequest(const KeyPair& identity);

    /// Takes bytes read from the connection; appends to `reply` what must be
    /// written back before anything else.
    State Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& reply);

    /// Once Ready: the first sealed line, without its LF.
    const std::string& Line() const { return line; }
    /// Once Ready: the key the initiator proved it holds.
    const PublicKey& RemoteKey() const { return *handshake.RemoteStatic(); }
    /// Once Ready, and once only: the stream's halves, and the plaintext that
    /// came after the line.
    std::optional<StreamHandshake::Transport> TakeTransport() {
        return std::exchange(transport, {});
    }
    std::string TakeLeftover() { return std::exchange(opened, {}); }

private:
    State Open(std::span<const std::uint8_t> bytes);

    StreamHandshake handshake;
    std::optional<StreamHandshake::Transport> transport;
    std::string opened; // plaintext not yet a whole line, then what followed the line
    std::string line;
    State state = State::Waiting;
};

} // namespace kestrane
