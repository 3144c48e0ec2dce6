#include "files/ServingStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

ServingStream::ServingStream(int connection) : socket(connection) {}

ServingStream::ServingStream(int connection, StreamHandshake::Transport halves,
                             std::string leftover)
    : socket(connection), transport(std::move(halves)), received(std::move(leftover)) {
    unsealed.reserve(FrameSealer::kMaxPlaintext);
}

bool ServingStream::SendRaw(std::string_view bytes, int flags) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), flags | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool ServingStream::Send(std::string_view bytes, bool more, bool wait) {
    const int flags = wait ? 0 : MSG_DONTWAIT;
    if (!transport) {
        return SendRaw(bytes, flags | (more ? MSG_MORE : 0));
    }
    while (!bytes.empty()) {
        const std::size_t room = FrameSealer::kMaxPlaintext - unsealed.size();
        const std::size_t part = std::min(room, bytes.size());
        unsealed.insert(unsealed.end(), bytes.begin(), bytes.begin() + part);
        bytes.remove_prefix(part);
        if (unsealed.size() == FrameSealer::kMaxPlaintext && !Flush(flags)) {
            return false;
        }
    }
    return more || Flush(flags);
}

bool ServingStream::Flush(int flags) {
    if (unsealed.empty()) {
        return true;
    }
    framed.clear();
    if (!transport->sealer.Seal(unsealed, framed)) {
        return false;
    }
    unsealed.clear();
    return SendRaw({reinterpret_cast<const char*>(framed.data()), framed.size()}, flags);
}

ssize_t ServingStream::Receive(char* buffer, std::size_t capacity) {
    if (!transport) {
        return ::recv(socket, buffer, capacity, 0);
    }
    while (receivedAt == received.size()) {
        char raw[16384];
        const ssize_t count = ::recv(socket, raw, sizeof raw, 0);
        if (count <= 0) {
            return count;
        }
        plaintext.clear();
        if (!transport->opener.Open(
                {reinterpret_cast<const std::uint8_t*>(raw), static_cast<std::size_t>(count)},
                plaintext)) {
            errno = EPROTO;
            return -1;
        }
        received.assign(plaintext.begin(), plaintext.end());
        receivedAt = 0;
    }
    const std::size_t count = std::min(capacity, received.size() - receivedAt);
    std::memcpy(buffer, received.data() + receivedAt, count);
    receivedAt += count;
    return static_cast<ssize_t>(count);
}

ssize_t ServingStream::SendFile(int file, off_t& position, std::size_t count) {
    if (!transport) {
        return ::sendfile(socket, file, &position, count);
    }
    // Read straight into the frame being filled: one copy less per byte.
    const std::size_t at = unsealed.size();
    const std::size_t part = std::min(count, FrameSealer::kMaxPlaintext - at);
    unsealed.resize(at + part);
    const ssize_t read = ::pread(file, unsealed.data() + at, part, position);
    unsealed.resize(at + static_cast<std::size_t>(std::max<ssize_t>(read, 0)));
    if (read <= 0) {
        return read < 0 ? -1 : 0;
    }
    position += read;
    if (unsealed.size() == FrameSealer::kMaxPlaintext && !Flush(0)) {
        return -1;
    }
    return read;
}

} // namespace kestrane
