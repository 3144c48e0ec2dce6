#include "files/FileServer.h"

#include "files/OfferToken.h"
#include "files/Sha256.h"
#include "files/TransferRequest.h"
#include "port/port.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrane {
namespace {

// The one server the listener's callbacks reach. Its destructor releases the
// listener, which waits for the callbacks, before anything they use goes.
std::atomic<FileServer*> activeServer{nullptr};

// Sockets of accepted connections keep the listener's small buffers; a file
// goes out faster through a larger one.
constexpr int kSendBuffer = 4 << 20;
// A receiver that takes nothing for this long is given up on.
constexpr int kStallSeconds = 30;

bool SendAll(int socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
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

void SendError(int socket, const std::string& text) {
    SendAll(socket, TransferReply{TransferReply::Kind::Error, 0, text}.Compose());
}

void PrepareForServing(int socket) {
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    const timeval stall{kStallSeconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
}

} // namespace

FileServer::FileServer() = default;

FileServer::~FileServer() {
    if (listener != nullptr) {
        ReleasePortListener(listener);
    }
    FileServer* self = this;
    activeServer.compare_exchange_strong(self, nullptr);
    std::list<std::unique_ptr<Serving>> ending;
    {
        std::lock_guard guard(mutex);
        for (const auto& serving : servings) {
            ::shutdown(serving->socket, SHUT_RDWR);
        }
        ending.swap(servings);
    }
    for (const auto& serving : ending) {
        serving->thread.join();
    }
}

bool FileServer::Open(int wantedPort, std::string& error) {
    FileServer* none = nullptr;
    if (!activeServer.compare_exchange_strong(none, this)) {
        error = "another file server runs in this program";
        return false;
    }
    PortStartup(); // the listener's release cleans up once
    if (CreatePortListener(LISTEN_TCP_KEEP, wantedPort, OnReceive, OnAccept, OnDisconnect,
                           &listener) != 0) {
        listener = nullptr;
        PortCleanup();
        error = "TCP port " + std::to_string(wantedPort) + " is in use by another program";
        activeServer = nullptr;
        return false;
    }
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(listener->socket, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return true;
}

void FileServer::Add(Offer offer) {
    std::lock_guard guard(mutex);
    const std::string token = offer.token;
    offers[token] = std::make_shared<const Offer>(std::move(offer));
}

void FileServer::Withdraw(const std::string& token) {
    std::lock_guard guard(mutex);
    offers.erase(token);
    sent.erase(token);
    for (const auto& serving : servings) {
        if (serving->token == token) {
            ::shutdown(serving->socket, SHUT_RDWR);
        }
    }
}

std::uint64_t FileServer::SentBytes(const std::string& token) const {
    std::lock_guard guard(mutex);
    const auto found = sent.find(token);
    return found == sent.end() ? 0 : found->second;
}

bool FileServer::HoldsOfferFor(const std::string& address) const {
    std::lock_guard guard(mutex);
    for (const auto& [token, offer] : offers) {
        if (offer->recipient == address) {
            return true;
        }
    }
    return false;
}

std::int32_t FileServer::OnAccept(PortConnection* connection) {
    FileServer* server = activeServer;
    return server != nullptr && server->HoldsOfferFor(connection->GetPeerName()) ? 1 : 0;
}

std::int32_t FileServer::OnReceive(PortConnection* node) {
    if (FileServer* server = activeServer) {
        server->TakeRequestBytes(*node);
    }
    return 0;
}

void FileServer::OnDisconnect(PortConnection* connection) {
    if (FileServer* server = activeServer) {
        std::lock_guard guard(server->mutex);
        server->partialLines.erase(connection->GetId());
    }
}

void FileServer::TakeRequestBytes(PortConnection& node) {
    const std::uint32_t id = node.GetId();
    std::string line;
    {
        std::lock_guard guard(mutex);
        std::string& partial = partialLines[id];
        partial.append(node.GetData(), static_cast<std::size_t>(node.GetDataLength()));
        const std::size_t end = partial.find('\n');
        if (end == std::string::npos && partial.size() < TransferRequest::kLongestLine) {
            return;
        }
        // Anything after the line is not part of this protocol and goes.
        line = end == std::string::npos ? std::string() : partial.substr(0, end);
        partialLines.erase(id);
    }
    // The connection leaves the listener for a serving thread.
    const int socket = listener->TakeConnection(id);
    if (socket < 0) {
        return;
    }
    if (line.empty()) {
        ::close(socket);
        return;
    }
    StartServing(socket, node.GetPeerName(), std::move(line));
}

void FileServer::StartServing(int socket, std::string peer, std::string line) {
    std::lock_guard guard(mutex);
    ReapFinished();
    auto serving = std::make_unique<Serving>();
    serving->socket = socket;
    Serving& started = *serving;
    servings.push_back(std::move(serving));
    started.thread = std::thread([this, &started, peer = std::move(peer), line = std::move(line)] {
        // sendfile has no MSG_NOSIGNAL: a receiver that went away must fail
        // the call, not end the process. Blocked here, the signal stays with
        // this thread and goes when it ends.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        Serve(started, peer, line);
        ::close(started.socket);
        started.done = true;
    });
}

void FileServer::ReapFinished() {
    for (auto at = servings.begin(); at != servings.end();) {
        if ((*at)->done) {
            (*at)->thread.join();
            at = servings.erase(at);
        } else {
            ++at;
        }
    }
}

void FileServer::Serve(Serving& serving, const std::string& peer, const std::string& line) {
    PrepareForServing(serving.socket);
    const auto request = TransferRequest::Parse(line);
    if (!request) {
        SendError(serving.socket, "the request is not one this version knows");
        return;
    }
    std::string error;
    const std::shared_ptr<const Offer> offer = FindOffer(request->token, peer, error);
    if (offer == nullptr) {
        SendError(serving.socket, error);
        return;
    }
    {
        std::lock_guard guard(mutex);
        serving.token = offer->token;
    }
    if (request->kind == TransferRequest::Kind::List) {
        ServeList(serving.socket, *offer);
    } else {
        ServeFile(serving, *offer, request->index, request->offset, request->heldDigest);
    }
}

std::shared_ptr<const FileServer::Offer> FileServer::FindOffer(const std::string& presented,
                                                               const std::string& peer,
                                                               std::string& error) const {
    std::lock_guard guard(mutex);
    // Every token is compared in full: the time taken tells nothing about it.
    std::shared_ptr<const Offer> found;
    for (const auto& [token, offer] : offers) {
        if (OfferToken::Matches(token, presented)) {
            found = offer;
        }
    }
    if (found == nullptr) {
        error = "this offer has ended or never existed";
    } else if (found->recipient != peer) {
        error = "this offer was made to another host";
        found = nullptr;
    }
    return found;
}

void FileServer::ServeList(int socket, const Offer& offer) {
    const TransferReply header{TransferReply::Kind::Ok, offer.manifest.entries.size(), {}};
    SendAll(socket, header.Compose() + offer.manifest.Compose());
}

void FileServer::ServeFile(Serving& serving, const Offer& offer, std::uint64_t index,
                           std::uint64_t offset, const std::string& heldDigest) {
    const int socket = serving.socket;
    if (index >= offer.manifest.entries.size() || offer.manifest.entries[index].folder) {
        SendError(socket, "the offer has no file number " + std::to_string(index));
        return;
    }
    const ManifestEntry& entry = offer.manifest.entries[index];
    const int file = ::open(offer.sources[index].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat status {};
    if (file < 0 || ::fstat(file, &status) != 0 ||
        static_cast<std::uint64_t>(status.st_size) != entry.size) {
        SendError(socket, "\"" + entry.path + "\" changed or went away since it was offered");
        if (file >= 0) {
            ::close(file);
        }
        return;
    }
    // The held bytes are kept only when they are the start of this very file.
    std::uint64_t start = 0;
    if (offset > 0 && offset <= entry.size) {
        Sha256 held;
        if (held.AddFile(file, offset) && held.Finish() == heldDigest) {
            start = offset;
        }
    }
    if (!SendAll(socket, TransferReply{TransferReply::Kind::From, start, {}}.Compose())) {
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
        CountSent(offer.token, static_cast<std::uint64_t>(count));
    }
    ::close(file);
}

void FileServer::CountSent(const std::string& token, std::uint64_t bytes) {
    std::lock_guard guard(mutex);
    if (offers.contains(token)) { // a withdrawn offer is forgotten whole
        sent[token] += bytes;
    }
}

} // namespace kestrane
