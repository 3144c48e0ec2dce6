#pragma once

#include "files/FileManifest.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {

class PortConnection;
class PortListener;

/// The sending end of file transfer: a stream listener (LISTEN_TCP_KEEP) that
/// serves each offer's manifest and files to the one host it was offered to,
/// while the offer lives, to whoever presents its token. Connections from
/// hosts that hold no offer are refused when accepted. A request line, once
/// whole, takes its connection off the listener onto a thread of its own, so a
/// slow receiver never holds up the others. At most one server per process.
///
/// Add, Withdraw and the figures: any thread. The callbacks run on the
/// listener's threads; serving runs on threads the server owns and joins.
class FileServer {
public:
    struct Offer {
        std::string token;
        std::string recipient; // dotted IPv4 address it was offered to
        FileManifest manifest;
        std::vector<std::string> sources; // per entry: the local file; empty for folders
    };

    FileServer();
    /// Closes the listener and every connection being served, and waits for
    /// the serving threads.
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    /// Listens on `port` (0: any); false, with a reason in `error`, when it cannot.
    bool Open(int port, std::string& error);
    /// The port it listens on, once open.
    int Port() const { return port; }

    void Add(Offer offer);
    /// Ends the offer; what is being sent from it is cut off.
    void Withdraw(const std::string& token);
    /// File bytes of the offer sent so far, all connections together; 0 once
    /// it is withdrawn.
    std::uint64_t SentBytes(const std::string& token) const;

private:
    struct Serving {
        std::thread thread;
        int socket = -1;
        std::string token;
        std::atomic<bool> done{false};
    };

    static std::int32_t OnAccept(PortConnection* connection);
    static std::int32_t OnReceive(PortConnection* node);
    static void OnDisconnect(PortConnection* connection);

    bool HoldsOfferFor(const std::string& address) const;
    void TakeRequestBytes(PortConnection& node);
    void StartServing(int socket, std::string peer, std::string line);
    void Serve(Serving& serving, const std::string& peer, const std::string& line);
    /// The offer whose token `presented` is, for `peer`; null and a reason when none.
    std::shared_ptr<const Offer> FindOffer(const std::string& presented, const std::string& peer,
                                           std::string& error) const;
    void ServeList(int socket, const Offer& offer);
    void ServeFile(Serving& serving, const Offer& offer, std::uint64_t index, std::uint64_t offset,
                   const std::string& heldDigest);
    void CountSent(const std::string& token, std::uint64_t bytes);
    void ReapFinished();

    PortListener* listener = nullptr;
    int port = 0;
    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<const Offer>> offers; // guarded by mutex
    std::map<std::string, std::uint64_t> sent;                  // guarded by mutex
    std::map<std::uint32_t, std::string> partialLines; // guarded by mutex; by connection id
    std::list<std::unique_ptr<Serving>> servings;      // guarded by mutex
};

} // namespace kestrane
