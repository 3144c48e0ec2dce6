#include "files/FileServing.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
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

FileServing::FileServing(int connection, ServingStream answers, std::string peerAddress,
                         TransferRequest asked, std::shared_ptr<const FileServer::Offer> served,
                         std::shared_ptr<std::atomic<std::uint64_t>> sentBytes)
    : peer(std::move(peerAddress)), request(std::move(asked)), offer(std::move(served)),
      sent(std::move(sentBytes)), socket(connection), stream(std::move(answers)) {}

void FileServing::Refuse(int connection, ServingStream& answers, const std::string& text) {
    answers.Send(ErrorLine(text), false, false);
    End(connection);
}

bool FileServing::Start() {
    try {
        // The thread holds the serving, so it may outlive the server.
        thread = std::thread([self = shared_from_this()] { self->Run(); });
        return true;
    } catch (const std::system_error&) {
        Refuse(std::exchange(socket, -1), stream,
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
        switch (request.kind) {
        case TransferRequest::Kind::List:
            ServeList();
            break;
        case TransferRequest::Kind::Session:
        case TransferRequest::Kind::Private:
            ServeSession();
            break;
        case TransferRequest::Kind::Get:
            ServeFile(request, false);
            break;
        }
    }
    {
        std::lock_guard guard(socketLock);
        End(std::exchange(socket, -1));
    }
    done = true;
}

bool FileServing::SendAll(std::string_view bytes, bool more) {
    return stream.Send(bytes, more);
}

void FileServing::SendError(const std::string& text) {
    SendAll(ErrorLine(text));
}

void FileServing::ServeList() {
    // A FILES/1 list carries every digest: it waits until they are read.
    FileManifest listed = offer->manifest;
    for (std::size_t index = 0; index < listed.entries.size(); ++index) {
        ManifestEntry& entry = listed.entries[index];
        if (entry.folder) {
            continue;
        }
        const auto digest = offer->digests->Wait(index, stop);
        if (!digest) {
            if (!stop) {
                SendError(ChangedText(entry));
            }
            return;
        }
        entry.digest = *digest;
    }
    const TransferReply header{TransferReply::Kind::Ok, listed.entries.size(), {}};
    SendAll(header.Compose() + listed.Compose());
}

void FileServing::ServeSession() {
    // Answers go out as soon as they are whole: a receiver waits for each.
    const int noDelay = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    const TransferReply header{TransferReply::Kind::Ok, offer->manifest.entries.size(), {}};
    if (!SendAll(header.Compose() + offer->manifest.Compose(2))) {
        return;
    }
    while (!stop) {
        const auto line = ReadRequestLine();
        if (!line) {
            return;
        }
        const auto next = TransferRequest::Parse(*line);
        if (!next || next->kind != TransferRequest::Kind::Get || !next->token.empty()) {
            SendError("the request is not one this version knows");
            return;
        }
        if (!ServeFile(*next, true)) {
            return;
        }
    }
}

std::optional<std::string> FileServing::ReadRequestLine() {
    for (;;) {
        const std::size_t end = requestBytes.find('\n');
        if (end != std::string::npos && end < TransferRequest::kLongestLine) {
            std::string line = requestBytes.substr(0, end);
            requestBytes.erase(0, end + 1);
            return line;
        }
        if (end != std::string::npos || requestBytes.size() >= TransferRequest::kLongestLine) {
            SendError("the request is longer than the protocol allows");
            return std::nullopt;
        }
        char chunk[TransferRequest::kLongestLine];
        const ssize_t count = stream.Receive(chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        // The receiver closed the session, went silent for the stall limit,
        // or the serving was cut.
        if (count <= 0) {
            return std::nullopt;
        }
        requestBytes.append(chunk, static_cast<std::size_t>(count));
    }
}

bool FileServing::MoreRequestsWaiting() const {
    return requestBytes.find('\n') != std::string::npos;
}

std::string FileServing::ChangedText(const ManifestEntry& entry) {
    return "\"" + entry.path + "\" changed or went away since it was offered";
}

bool FileServing::ServeFile(const TransferRequest& asked, bool session) {
    const std::uint64_t index = asked.index;
    const auto& entries = offer->manifest.entries;
    if (index >= entries.size() || index >= offer->sources.size() || entries[index].folder ||
        offer->sources[index].folder == nullptr) {
        SendError("the offer has no file number " + std::to_string(index));
        return false;
    }
    const ManifestEntry& entry = entries[index];
    const FileServer::Source& source = offer->sources[index];
    const int file = source.folder->OpenForReading(source.path);
    if (file < 0 && (errno == EMFILE || errno == ENFILE)) {
        SendError("the sending computer cannot open more files now; try again later");
        return false;
    }
    struct stat status {};
    if (file < 0 || ::fstat(file, &status) != 0 || !IsAsOffered(status, source)) {
        SendError(ChangedText(entry));
        if (file >= 0) {
            ::close(file);
        }
        return false;
    }
    const bool served = SendFrom(file, entry, asked) && (!session || SendDigest(index, entry));
    ::close(file);
    return served;
}

bool FileServing::SendFrom(int file, const ManifestEntry& entry, const TransferRequest& asked) {
    // The held bytes are kept only when they are the start of this very file.
    std::uint64_t start = 0;
    if (asked.offset > 0 && asked.offset <= entry.size) {
        const bool held =
            offer->digests->BeginsWith(asked.index, file, asked.offset, asked.heldDigest, stop);
        if (stop) {
            return false;
        }
        start = held ? asked.offset : 0;
    }
    // The bytes follow at once: the line waits for them rather than going
    // out in a packet of its own. What sends next without MSG_MORE, or the
    // close, lets it go.
    if (!SendAll(TransferReply{TransferReply::Kind::From, start, {}}.Compose(), true)) {
        return false;
    }
    off_t position = static_cast<off_t>(start);
    while (static_cast<std::uint64_t>(position) < entry.size) {
        const std::uint64_t left = entry.size - static_cast<std::uint64_t>(position);
        const ssize_t count =
            stream.SendFile(file, position, std::min<std::uint64_t>(left, 1 << 30));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        *sent += static_cast<std::uint64_t>(count);
    }
    return true;
}

bool FileServing::SendDigest(std::uint64_t index, const ManifestEntry& entry) {
    const auto digest = offer->digests->Wait(index, stop);
    if (!digest) {
        if (!stop) {
            SendError(ChangedText(entry));
        }
        return false;
    }
    // When the next request is already here, its answer follows in the same packet.
    return SendAll(TransferReply{TransferReply::Kind::Digest, 0, *digest}.Compose(),
                   MoreRequestsWaiting());
}

} // namespace kestrane
