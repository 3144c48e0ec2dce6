#include "files/FileServing.h"

#include "files/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace kestrane {
namespace {

// Sockets of accepted connections keep the listener's small buffers; a file
// goes out faster through a larger one.
constexpr int kSendBuffer = 4 << 20;
// A receiver that takes nothing for this long is given up on.
constexpr int kStallSeconds = 30;

void PrepareForServing(int socket) {
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    const timeval stall{kStallSeconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
}

bool SendBytes(int socket, std::string_view bytes, int flags) {
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

// The listener's poll may still watch the connection this socket was taken
// from, and its wait keeps the connection open past close() for up to a poll
// time-out; shutting it down first ends it for the peer at once.
void End(int socket) {
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

std::string ErrorLine(const std::string& text) {
    return TransferReply{TransferReply::Kind::Error, 0, text}.Compose();
}

// The file is served only while it is the very file that was hashed.
bool IsAsOffered(const struct stat& status, const FileServer::Source& source) {
    return S_ISREG(status.st_mode) && FileStamp::Of(status) == source.stamp;
}

} // namespace

FileServing::FileServing(int connection, std::string peerAddress, TransferRequest asked,
                         std::shared_ptr<const FileServer::Offer> served,
                         std::shared_ptr<std::atomic<std::uint64_t>> sentBytes)
    : peer(std::move(peerAddress)), request(std::move(asked)), offer(std::move(served)),
      sent(std::move(sentBytes)), socket(connection) {}

void FileServing::Refuse(int connection, const std::string& text) {
    SendBytes(connection, ErrorLine(text), MSG_DONTWAIT);
    End(connection);
}

bool FileServing::Start() {
    try {
        // The thread holds the serving, so it may outlive the server.
        thread = std::thread([self = shared_from_this()] { self->Run(); });
        return true;
    } catch (const std::system_error&) {
        Refuse(std::exchange(socket, -1),
               "the sending computer cannot start another transfer now; try again later");
        return false;
    }
}

void FileServing::Cut() {
    stop = true;
    std::lock_guard guard(socketLock);
    if (socket >= 0) {
        ::shutdown(socket, SHUT_RDWR);
    }
}

bool FileServing::Join(std::chrono::steady_clock::time_point deadline) {
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!done) {
        thread.detach();
        return false;
    }
    thread.join();
    return true;
}

void FileServing::Run() {
    // sendfile has no MSG_NOSIGNAL: a receiver that went away must fail the
    // call, not end the process. Blocked here, the signal stays with this
    // thread and goes when it ends.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    PrepareForServing(socket);
    if (!stop) {
        if (request.kind == TransferRequest::Kind::List) {
            ServeList();
        } else {
            ServeFile();
        }
    }
    {
        std::lock_guard guard(socketLock);
        End(std::exchange(socket, -1));
    }
    done = true;
}

bool FileServing::SendAll(std::string_view bytes) {
    return SendBytes(socket, bytes, 0);
}

void FileServing::SendError(const std::string& text) {
    SendAll(ErrorLine(text));
}

void FileServing::ServeList() {
    const TransferReply header{TransferReply::Kind::Ok, offer->manifest.entries.size(), {}};
    SendAll(header.Compose() + offer->manifest.Compose());
}

void FileServing::ServeFile() {
    const std::uint64_t index = request.index;
    const auto& entries = offer->manifest.entries;
    if (index >= entries.size() || index >= offer->sources.size() || entries[index].folder ||
        offer->sources[index].folder == nullptr) {
        SendError("the offer has no file number " + std::to_string(index));
        return;
    }
    const ManifestEntry& entry = entries[index];
    const FileServer::Source& source = offer->sources[index];
    const int file = source.folder->OpenForReading(source.path);
    if (file < 0 && (errno == EMFILE || errno == ENFILE)) {
        SendError("the sending computer cannot open more files now; try again later");
        return;
    }
    struct stat status {};
    if (file < 0 || ::fstat(file, &status) != 0 || !IsAsOffered(status, source)) {
        SendError("\"" + entry.path + "\" changed or went away since it was offered");
        if (file >= 0) {
            ::close(file);
        }
        return;
    }
    // The held bytes are kept only when they are the start of this very file.
    std::uint64_t start = 0;
    if (request.offset > 0 && request.offset <= entry.size) {
        Sha256 held;
        const bool read = held.AddFile(file, request.offset, &stop);
        if (stop) {
            ::close(file);
            return;
        }
        start = read && held.Finish() == request.heldDigest ? request.offset : 0;
    }
    if (!SendAll(TransferReply{TransferReply::Kind::From, start, {}}.Compose())) {
        ::close(file);
        return;
    }
    off_t position = static_cast<off_t>(start);
    while (static_cast<std::uint64_t>(position) < entry.size) {
        const std::uint64_t left = entry.size - static_cast<std::uint64_t>(position);
        const ssize_t count =
            ::sendfile(socket, file, &position, std::min<std::uint64_t>(left, 1 << 30));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        *sent += static_cast<std::uint64_t>(count);
    }
    ::close(file);
}

} // namespace kestrane
