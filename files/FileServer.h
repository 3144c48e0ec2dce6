#pragma once

#include "files/FileManifest.h"
#include "files/OfferDigests.h"
#include "security/KeyPair.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrane {

class FileServing;
class PortConnection;
class PortListener;
class PrivateRequest;
class ServingStream;

/// The sending end of file transfer: a stream listener (LISTEN_TCP_KEEP) that
/// serves each offer's manifest and files to the one host it was offered to,
/// while the offer lives, to whoever presents its token. Connections from
/// hosts that hold no offer are refused when accepted. A request line, once
/// whole, takes its connection off the listener onto a FileServing thread, so
/// a slow receiver never holds up the others. At most one server per process.
///
/// What a host can make it hold is bounded by its Limits: connections that
/// have not yet sent a whole request line, by host and in time, and requests
/// served at once, by host and in all; a request beyond those is answered ERR.
/// A FILES/2 session counts as one request served while it lasts.
///
/// With an identity key it also serves private sessions (FILES/3): the Noise
/// handshake and the sealed first line must come within the request
/// deadline, and an offer bound to a recipient's key goes only to the host
/// that proves it holds that key, never in the clear.
///
/// Add, Withdraw and the figures: any thread. The callbacks run on the
/// listener's threads; a sweeper thread of the server's own closes connections
/// whose request line is late.
class FileServer {
public:
    using Source = OfferDigests::Source;

    /// The manifest's digests may be left empty: Add starts reading them.
    struct Offer {
        std::string token;
        std::string recipient; // dotted IPv4 address it was offered to
        FileManifest manifest;
        std::vector<Source> sources; // per entry
        std::shared_ptr<OfferDigests> digests;
        /// Set: served only in a private session whose initiator proves this key.
        std::optional<PublicKey> recipientKey;
    };

    struct Limits {
        /// Requests served at once to one host, and to all.
        int servingsPerHost = 4;
        int servings = 16;
        /// Connections of one host that have not yet sent a whole request line.
        int waitingPerHost = 8;
        /// How long a connection may take to send its request line.
        std::chrono::milliseconds requestDeadline{5000};
    };

    FileServer();
    explicit FileServer(Limits limits);
    /// Closes the listener and every connection being served, and waits for
    /// the serving threads, a second at most: one that has not ended by then
    /// is left to end on its own.
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    /// Listens on `port` (0: any); false, with a reason in `error`, when it
    /// cannot. Private sessions are served under `identity` when given.
    bool Open(int port, std::string& error, std::optional<KeyPair> identity = std::nullopt);
    /// The port it listens on, once open.
    int Port() const { return port; }

    /// Serves `offer` from now on, and starts reading its files' digests.
    void Add(Offer offer);
    /// Ends the offer: requests for it are refused, what is being sent from it
    /// is cut off, and the reading of its digests stops. When it was its host's last offer, that
    /// host's connections that have not yet asked for anything are closed.
    void Withdraw(const std::string& token);
    /// File bytes of the offer sent so far, all connections together; 0 once
    /// it is withdrawn.
    std::uint64_t SentBytes(const std::string& token) const;
    /// Connections that have not yet sent a whole request line.
    std::size_t WaitingConnections() const;
    /// Connections admitted so far.
    std::uint64_t AcceptedConnections() const { return accepted; }

private:
    /// An offer and the count of its bytes sent, which its servings share.
    struct Offered {
        std::shared_ptr<const Offer> offer;
        std::shared_ptr<std::atomic<std::uint64_t>> sent;
    };
    /// An accepted connection until its request line is whole.
    struct Waiting {
        std::string peer;
        std::chrono::steady_clock::time_point deadline;
        std::string partialLine;
        /// Once the connection asked for a private session.
        std::shared_ptr<PrivateRequest> privateRequest;
    };

    static std::int32_t OnAccept(PortConnection* connection);
    static std::int32_t OnReceive(PortConnection* node);
    static void OnDisconnect(PortConnection* connection);

    // With mutex held.
    bool HoldsOfferFor(const std::string& address) const;
    /// The offer whose token `presented` is, for `peer`; null and a refusal when none.
    const Offered* FindOffer(const std::string& presented, const std::string& peer,
                             std::string& refusal) const;
    /// Why a request from `remoteKey` (none: in the clear) cannot have `offer`.
    static std::string KeyRefusal(const Offer& offer, const std::optional<PublicKey>& remoteKey);
    /// Why `peer` cannot be served one more request now; empty when it can.
    std::string BusyRefusal(const std::string& peer) const;
    void ReapFinished();

    bool Admit(PortConnection& connection);
    void TakeRequestBytes(PortConnection& node);
    /// Takes the bytes of a connection that asked for a private session, and
    /// once its first sealed line is whole, serves it.
    void FeedPrivate(PortConnection& node, const std::string& peer, PrivateRequest& request,
                     std::string_view bytes);
    /// Serves `line` on `socket` through `stream` on a thread of its own, or
    /// answers why not and closes the socket. `remoteKey`: the key a private
    /// stream's initiator proved.
    void StartServing(int socket, ServingStream stream, const std::string& peer,
                      const std::string& line, const std::optional<PublicKey>& remoteKey);
    void SweepLateConnections();

    const Limits limits;
    std::optional<KeyPair> identity; // set by Open, then only read
    PortListener* listener = nullptr;
    int port = 0;
    std::thread sweeper;
    mutable std::mutex mutex;
    std::condition_variable sweeperWake;
    bool quitting = false;                            // guarded by mutex
    std::map<std::string, Offered> offers;            // guarded by mutex
    std::map<std::uint32_t, Waiting> waiting;         // guarded by mutex; by connection id
    std::list<std::shared_ptr<FileServing>> servings; // guarded by mutex
    std::atomic<std::uint64_t> accepted{0};
};

} // namespace kestrane
