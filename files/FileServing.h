#pragma once

#include "files/FileServer.h"
#include "files/ServingStream.h"
#include "files/TransferRequest.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kestrane {

/// One request answered on a thread of its own: an offer's manifest, one
/// file's bytes, or a session (the manifest, then the files asked for, one
/// request line after another, on the one connection), clear or private as
/// its stream is. Owns the connection's socket from
/// Start on, and closes it when the answer ends. What it reads from the server that started it (the
/// offer, the count of bytes sent) it shares rather than borrows, so a serving that does not end in
/// time can be left to end on its own.
///
/// Cut, Done and the names: any thread. Start, then Join: once each, one
/// thread at a time.
class FileServing : public std::enable_shared_from_this<FileServing> {
public:
    /// `stream` carries the answers on `socket`.
    FileServing(int socket, ServingStream stream, std::string peer, TransferRequest request,
                std::shared_ptr<const FileServer::Offer> offer,
                std::shared_ptr<std::atomic<std::uint64_t>> sent);
    FileServing(const FileServing&) = delete;
    FileServing& operator=(const FileServing&) = delete;

    /// Starts the serving thread. False when no thread can be started: the
    /// request is then answered so, and the connection closed.
    bool Start();
    /// Ends the answer soon: a digest of held bytes stops between two reads,
    /// and the connection is shut down (the receiver sees it end at once).
    void Cut();
    bool Done() const { return done; }
    /// Waits for the thread until `deadline`. False when it has not ended by
    /// then: it is left to end on its own.
    bool Join(std::chrono::steady_clock::time_point deadline);

    const std::string& Peer() const { return peer; }
    const std::string& Token() const { return offer->token; }

    /// Answers ERR `text` on `socket` through `stream`, as far as that takes
    /// no waiting, and closes it.
    static void Refuse(int socket, ServingStream& stream, const std::string& text);

private:
    void Run();
    void ServeList();
    void ServeSession();
    /// False when the connection cannot go on: what went wrong was answered.
    bool ServeFile(const TransferRequest& asked, bool session);
    bool SendFrom(int file, const ManifestEntry& entry, const TransferRequest& asked);
    bool SendDigest(std::uint64_t index, const ManifestEntry& entry);
    /// The next request line of a session, without its LF; nothing when the
    /// receiver ended it or broke the protocol (then answered).
    std::optional<std::string> ReadRequestLine();
    bool MoreRequestsWaiting() const;
    static std::string ChangedText(const ManifestEntry& entry);
    bool SendAll(std::string_view bytes, bool more = false);
    void SendError(const std::string& text);

    const std::string peer;
    const TransferRequest request;
    const std::shared_ptr<const FileServer::Offer> offer;
    const std::shared_ptr<std::atomic<std::uint64_t>> sent;
    std::mutex socketLock;
    /// Closed and set to -1 by the serving thread, under socketLock, so that
    /// Cut never shuts down a number that a later connection reuses.
    int socket;
    ServingStream stream;     // serving thread
    std::string requestBytes; // serving thread: received, not yet served
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

} // namespace kestrane
