#pragma once

#include "security/KeyPair.h"
#include "security/StreamHandshake.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <sys/time.h>
#include <vector>

namespace kestrane {

class PortConnection;

/// The receiving end of a private session (FILES/3) on a connection of the
/// port library: asks for it in the clear, runs the initiator's side of the
/// Noise handshake, makes sure the sender proved the key the offer came
/// under, then seals what goes out and opens what comes in. The connection
/// stays the caller's. One thread at a time.
class SealedConnection {
public:
    /// Nothing, with a reason for the person in `error`, when the handshake
    /// fails, takes longer than `limit`, or `address` proves another key
    /// than `sender`.
    static std::unique_ptr<SealedConnection>
    Open(PortConnection& connection, const std::string& address, const KeyPair& identity,
         const PublicKey& sender, std::chrono::milliseconds limit, std::string& error);

    /// False when the connection failed.
    bool Send(PortConnection& connection, std::string_view bytes);
    /// As PortConnection::Receive, with plaintext: 0 and the count in *size,
    /// else -1 (the stream ended, broke, or nothing came within `timeout`).
    int Receive(PortConnection& connection, char* buffer, int* size, const timeval& timeout);

private:
    explicit SealedConnection(StreamHandshake::Transport transport);
    /// Raw bytes into `into` within what is left until `end`; 0 when none came.
    static std::size_t ReceiveRaw(PortConnection& connection,
                                  std::chrono::steady_clock::time_point end,
                                  std::span<std::uint8_t> into);

    StreamHandshake::Transport transport;
    std::vector<std::uint8_t> opened; // plaintext not yet taken, from openedAt on
    std::size_t openedAt = 0;
    std::vector<std::uint8_t> framed; // reused for each send
    std::unique_ptr<std::uint8_t[]> raw;
};

} // namespace kestrane
