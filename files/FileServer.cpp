#include "files/FileServer.h"

#include "files/FileServing.h"
#include "files/OfferToken.h"
#include "files/PrivateRequest.h"
#include "files/ServingStream.h"
#include "files/TransferRequest.h"
#include "port/port.h"

#include <algorithm>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {
namespace {

// The one server the listener's callbacks reach. Its destructor releases the
// listener, which waits for the callbacks, before anything they use goes.
std::atomic<FileServer*> activeServer{nullptr};

// How long quitting waits for serving threads in all.
constexpr std::chrono::seconds kLongestQuitWait{1};

} // namespace

FileServer::FileServer() : FileServer(Limits{}) {}

FileServer::FileServer(Limits servingLimits) : limits(servingLimits) {}

FileServer::~FileServer() {
    {
        std::lock_guard guard(mutex);
        quitting = true;
        for (const auto& [token, offered] : offers) {
            offered.offer->digests->Stop();
        }
    }
    sweeperWake.notify_all();
    if (sweeper.joinable()) {
        sweeper.join();
    }
    if (listener != nullptr) {
        ReleasePortListener(listener);
    }
    FileServer* self = this;
    activeServer.compare_exchange_strong(self, nullptr);
    std::list<std::shared_ptr<FileServing>> ending;
    {
        std::lock_guard guard(mutex);
        ending.swap(servings);
    }
    for (const auto& serving : ending) {
        serving->Cut();
    }
    const auto deadline = std::chrono::steady_clock::now() + kLongestQuitWait;
    for (const auto& serving : ending) {
        serving->Join(deadline);
    }
}

bool FileServer::Open(int wantedPort, std::string& error, std::optional<KeyPair> key) {
    FileServer* none = nullptr;
    if (!activeServer.compare_exchange_strong(none, this)) {
        error = "another file server runs in this program";
        return false;
    }
    identity = std::move(key);
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
    sweeper = std::thread(&FileServer::SweepLateConnections, this);
    return true;
}

void FileServer::Add(Offer offer) {
    if (offer.digests == nullptr) {
        offer.digests = std::make_shared<OfferDigests>(offer.manifest, offer.sources);
        offer.digests->Start();
    }
    std::lock_guard guard(mutex);
    const std::string token = offer.token;
    offers[token] = Offered{std::make_shared<const Offer>(std::move(offer)),
                            std::make_shared<std::atomic<std::uint64_t>>(0)};
}

void FileServer::Withdraw(const std::string& token) {
    std::vector<std::uint32_t> idle;
    {
        std::lock_guard guard(mutex);
        const auto found = offers.find(token);
        if (found == offers.end()) {
            return;
        }
        const std::string recipient = found->second.offer->recipient;
        found->second.offer->digests->Stop();
        offers.erase(found);
        for (const auto& serving : servings) {
            if (serving->Token() == token) {
                serving->Cut();
            }
        }
        // A host that holds no offer any more has nothing to ask for.
        const bool lastOffer = !HoldsOfferFor(recipient);
        for (auto at = waiting.begin(); at != waiting.end();) {
            if (lastOffer && at->second.peer == recipient) {
                idle.push_back(at->first);
                at = waiting.erase(at);
            } else {
                ++at;
            }
        }
    }
    for (const std::uint32_t id : idle) {
        listener->CloseConnection(id);
    }
}

std::uint64_t FileServer::SentBytes(const std::string& token) const {
    std::lock_guard guard(mutex);
    const auto found = offers.find(token);
    return found == offers.end() ? 0 : found->second.sent->load();
}

std::size_t FileServer::WaitingConnections() const {
    std::lock_guard guard(mutex);
    return waiting.size();
}

bool FileServer::HoldsOfferFor(const std::string& address) const {
    return std::any_of(offers.begin(), offers.end(), [&](const auto& offered) {
        return offered.second.offer->recipient == address;
    });
}

std::int32_t FileServer::OnAccept(PortConnection* connection) {
    FileServer* server = activeServer;
    return server != nullptr && server->Admit(*connection) ? 1 : 0;
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
        server->waiting.erase(connection->GetId());
    }
}

bool FileServer::Admit(PortConnection& connection) {
    const std::string peer = connection.GetPeerName();
    std::lock_guard guard(mutex);
    const auto fromPeer = std::count_if(waiting.begin(), waiting.end(), [&](const auto& entry) {
        return entry.second.peer == peer;
    });
    if (!HoldsOfferFor(peer) || fromPeer >= limits.waitingPerHost) {
        return false;
    }
    ++accepted;
    waiting[connection.GetId()] =
        Waiting{peer, std::chrono::steady_clock::now() + limits.requestDeadline, {}, {}};
    sweeperWake.notify_one();
    return true;
}

void FileServer::TakeRequestBytes(PortConnection& node) {
    const std::uint32_t id = node.GetId();
    const std::string_view bytes(node.GetData(), static_cast<std::size_t>(node.GetDataLength()));
    std::string line;
    std::string peer;
    std::string after;
    std::shared_ptr<PrivateRequest> secure;
    {
        std::lock_guard guard(mutex);
        // Bytes that follow a request line, received before its connection
        // left the listener, belong to no request.
        const auto found = waiting.find(id);
        if (found == waiting.end()) {
            return;
        }
        peer = found->second.peer;
        secure = found->second.privateRequest;
        if (secure) {
            after = bytes;
        } else {
            std::string& partial = found->second.partialLine;
            partial.append(bytes);
            const std::size_t end = partial.find('\n');
            if (end == std::string::npos && partial.size() < TransferRequest::kLongestLine) {
                return;
            }
            line = end == std::string::npos ? std::string() : partial.substr(0, end);
            const auto request = TransferRequest::Parse(line);
            if (request && request->kind == TransferRequest::Kind::Private &&
                request->token.empty() && identity) {
                // The handshake follows at once, perhaps in the same segment.
                after = partial.substr(end + 1);
                partial.clear();
                secure = found->second.privateRequest = std::make_shared<PrivateRequest>(*identity);
            } else {
                // Anything after the line is not part of this protocol and goes.
                waiting.erase(found);
            }
        }
    }
    if (secure) {
        FeedPrivate(node, peer, *secure, after);
        return;
    }
    // The connection leaves the listener for a serving thread; it is closed
    // instead when there is no line, or no descriptor to take it with.
    const int socket = line.empty() ? -1 : listener->TakeConnection(id);
    if (socket < 0) {
        listener->CloseConnection(id);
        return;
    }
    StartServing(socket, ServingStream(socket), peer, line, std::nullopt);
}

void FileServer::FeedPrivate(PortConnection& node, const std::string& peer, PrivateRequest& request,
                             std::string_view bytes) {
    // The public-key work runs outside the lock: only hosts that hold an
    // offer get this far, at most waitingPerHost connections each.
    std::vector<std::uint8_t> reply;
    auto state =
        request.Feed({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, reply);
    if (!reply.empty() &&
        node.Send(reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size())) !=
            static_cast<int>(reply.size())) {
        state = PrivateRequest::State::Failed;
    }
    if (state == PrivateRequest::State::Waiting) {
        return;
    }
    const std::uint32_t id = node.GetId();
    {
        std::lock_guard guard(mutex);
        // Gone: late, or its host's last offer was withdrawn; it is being closed.
        if (waiting.erase(id) == 0) {
            return;
        }
    }
    const int socket = state == PrivateRequest::State::Ready ? listener->TakeConnection(id) : -1;
    if (socket < 0) {
        listener->CloseConnection(id);
        return;
    }
    StartServing(socket, ServingStream(socket, *request.TakeTransport(), request.TakeLeftover()),
                 peer, request.Line(), request.RemoteKey());
}

void FileServer::StartServing(int socket, ServingStream stream, const std::string& peer,
                              const std::string& line, const std::optional<PublicKey>& remoteKey) {
    std::string refusal = "the request is not one this version knows";
    {
        // Looked up and counted under the same lock that Withdraw takes, so a
        // withdrawn offer is never served.
        std::lock_guard guard(mutex);
        ReapFinished();
        auto request = TransferRequest::Parse(line);
        // A private stream opens with FILES/3 and the token; a clear one never does.
        const bool isPrivate = request && request->kind == TransferRequest::Kind::Private;
        if (isPrivate != remoteKey.has_value() || (isPrivate && request->token.empty())) {
            request.reset();
        }
        const Offered* offered = request ? FindOffer(request->token, peer, refusal) : nullptr;
        if (offered != nullptr) {
            refusal = KeyRefusal(*offered->offer, remoteKey);
        }
        if (offered != nullptr && refusal.empty()) {
            refusal = BusyRefusal(peer);
        }
        if (offered != nullptr && refusal.empty()) {
            auto serving = std::make_shared<FileServing>(socket, std::move(stream), peer, *request,
                                                         offered->offer, offered->sent);
            if (serving->Start()) {
                servings.push_back(std::move(serving));
            }
            return;
        }
    }
    FileServing::Refuse(socket, stream, refusal);
}

void FileServer::ReapFinished() {
    for (auto at = servings.begin(); at != servings.end();) {
        if ((*at)->Done()) {
            (*at)->Join(std::chrono::steady_clock::now());
            at = servings.erase(at);
        } else {
            ++at;
        }
    }
}

const FileServer::Offered* FileServer::FindOffer(const std::string& presented,
                                                 const std::string& peer,
                                                 std::string& refusal) const {
    // Every token is compared in full: the time taken tells nothing about it.
    const Offered* found = nullptr;
    for (const auto& [token, offered] : offers) {
        if (OfferToken::Matches(token, presented)) {
            found = &offered;
        }
    }
    if (found == nullptr) {
        refusal = "this offer has ended or never existed";
    } else if (found->offer->recipient != peer) {
        refusal = "this offer was made to another host";
        found = nullptr;
    }
    return found;
}

std::string FileServer::KeyRefusal(const Offer& offer, const std::optional<PublicKey>& remoteKey) {
    if (!offer.recipientKey) {
        return {};
    }
    if (!remoteKey) {
        return "this offer must be fetched privately";
    }
    return *remoteKey == *offer.recipientKey ? std::string() : "this offer was made to another key";
}

std::string FileServer::BusyRefusal(const std::string& peer) const {
    const auto toPeer = std::count_if(servings.begin(), servings.end(),
                                      [&](const auto& serving) { return serving->Peer() == peer; });
    if (toPeer >= limits.servingsPerHost) {
        return "the sending computer is already sending " + std::to_string(toPeer) +
               " files to this one; try again when one has arrived";
    }
    if (servings.size() >= static_cast<std::size_t>(limits.servings)) {
        return "the sending computer is sending as many files as it can at once; try again later";
    }
    return {};
}

void FileServer::SweepLateConnections() {
    std::unique_lock guard(mutex);
    while (!quitting) {
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::uint32_t> late;
        std::optional<std::chrono::steady_clock::time_point> next;
        for (auto at = waiting.begin(); at != waiting.end();) {
            if (at->second.deadline <= now) {
                late.push_back(at->first);
                at = waiting.erase(at);
            } else {
                next = std::min(next.value_or(at->second.deadline), at->second.deadline);
                ++at;
            }
        }
        if (!late.empty()) {
            // Closing takes the listener's lock, which its callbacks hold
            // when they take this one.
            guard.unlock();
            for (const std::uint32_t id : late) {
                listener->CloseConnection(id);
            }
            guard.lock();
        } else if (next) {
            sweeperWake.wait_until(guard, *next);
        } else {
            sweeperWake.wait(guard);
        }
    }
}

} // namespace kestrane
