#include "files/FileServer.h"

#include "files/FileServing.h"
#include "files/OfferToken.h"
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
        Waiting{peer, std::chrono::steady_clock::now() + limits.requestDeadline, {}};
    sweeperWake.notify_one();
    return true;
}

void FileServer::TakeRequestBytes(PortConnection& node) {
    const std::uint32_t id = node.GetId();
    std::string line;
    std::string peer;
    {
        std::lock_guard guard(mutex);
        // Bytes that follow a request line, received before its connection
        // left the listener, belong to no request.
        const auto found = waiting.find(id);
        if (found == waiting.end()) {
            return;
        }
        std::string& partial = found->second.partialLine;
        partial.append(node.GetData(), static_cast<std::size_t>(node.GetDataLength()));
        const std::size_t end = partial.find('\n');
        if (end == std::string::npos && partial.size() < TransferRequest::kLongestLine) {
            return;
        }
        // Anything after the line is not part of this protocol and goes.
        line = end == std::string::npos ? std::string() : partial.substr(0, end);
        peer = found->second.peer;
        waiting.erase(found);
    }
    // The connection leaves the listener for a serving thread; it is closed
    // instead when there is no line, or no descriptor to take it with.
    const int socket = line.empty() ? -1 : listener->TakeConnection(id);
    if (socket < 0) {
        listener->CloseConnection(id);
        return;
    }
    StartServing(socket, peer, line);
}

void FileServer::StartServing(int socket, const std::string& peer, const std::string& line) {
    std::string refusal = "the request is not one this version knows";
    {
        // Looked up and counted under the same lock that Withdraw takes, so a
        // withdrawn offer is never served.
        std::lock_guard guard(mutex);
        ReapFinished();
        const auto request = TransferRequest::Parse(line);
        const Offered* offered = request ? FindOffer(request->token, peer, refusal) : nullptr;
        if (offered != nullptr) {
            refusal = BusyRefusal(peer);
        }
        if (offered != nullptr && refusal.empty()) {
            auto serving = std::make_shared<FileServing>(socket, peer, *request, offered->offer,
                                                         offered->sent);
            if (serving->Start()) {
                servings.push_back(std::move(serving));
            }
            return;
        }
    }
    FileServing::Refuse(socket, refusal);
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
