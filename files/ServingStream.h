#pragma once

#include "security/StreamHandshake.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kestrane {

/// What a serving writes to its connection and reads from it: the socket
/// itself, or in a private session Noise frames on it. Bytes sent with `more`
/// wait for what follows, as MSG_MORE does on a clear socket, so that a small
/// file's FROM line, bytes and SHA line go in one frame and many small files
/// do not cost a frame each. Does not own the socket. Serving thread only.
class ServingStream {
public:
    explicit ServingStream(int socket);
    /// `leftover`: plaintext that came after the session's first line.
    ServingStream(int socket, StreamHandshake::Transport transport, std::string leftover);

    bool Private() const { return transport.has_value(); }
    /// False when the connection failed. `wait`: false to send only what the
    /// socket takes at once (a refusal on a listener's socket).
    bool Send(std::string_view bytes, bool more, bool wait = true);
    /// Bytes read into `buffer`, 0 when the receiver ended the stream, -1 on
    /// a failure, a stall past the socket's time-out, or a frame that does
    /// not open.
    ssize_t Receive(char* buffer, std::size_t capacity);
    /// Sends up to `count` bytes of `file` from `position`, which it moves
    /// on: the bytes taken from the file, or -1. Private bytes wait, as with
    /// `more`, for the line that follows them.
    ssize_t SendFile(int file, off_t& position, std::size_t count);

private:
    bool SendRaw(std::string_view bytes, int flags);
    /// Seals and sends what waits; false when the connection failed.
    bool Flush(int flags);

    const int socket;
    std::optional<StreamHandshake::Transport> transport;
    std::string received; // private: opened, read up to receivedAt
    std::size_t receivedAt = 0;
    std::vector<std::uint8_t> unsealed;  // private: waiting to be sealed
    std::vector<std::uint8_t> framed;    // private: reused for each flush
    std::vector<std::uint8_t> plaintext; // private: reused for each read
};

} // namespace kestrane
