#pragma once

#include "chat/SecureChannel.h"

#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrane {

class ChatSender;

/// The DELIVERY/2 engine as the running copy shares it: the listener's
/// dispatcher hands it what arrives, the UI thread starts handshakes, resends
/// and keeps sessions alive. One lock serialises the engine; a call holds it
/// for at most one handshake step (a few X25519 operations, well under a
/// millisecond) and sends outside it. Does not own the sender. Safe to call
/// from any thread.
class SecureLink {
public:
    SecureLink(const KeyPair& identity, std::string ownName, ChatSender& sender);

    /// A received DELIVERY/2 datagram from `address`: its answers go out, and
    /// what it brought (a session up, plaintexts opened) comes back.
    SecureChannel::Result Receive(const std::string& address,
                                  std::span<const std::uint8_t> datagram);
    /// Starts a handshake with `address`; false when none could start (one is
    /// under way, or the budget or table is full).
    bool Initiate(const std::string& address);
    struct Polled {
        bool underWay = false; // handshakes wait for an answer
        /// Addresses that left several handshakes unfinished, each once a run.
        std::vector<std::string> unfinished;
    };
    /// Sends the resends that are due.
    Polled Poll();
    /// Sends `plaintext` (empty: a keepalive) on the session `index` names;
    /// false when it is gone.
    bool Send(SessionIndex index, std::span<const std::uint8_t> plaintext);
    /// One broadcast bundle (or as few as hold them) carrying `plaintext` on
    /// each live session of `indices`.
    void Broadcast(std::span<const SessionIndex> indices, std::span<const std::uint8_t> plaintext);
    bool Alive(SessionIndex index) const;
    void Close(SessionIndex index);
    /// SecureChannel::DueForRekey.
    std::vector<std::string> DueForRekey(std::span<const SessionIndex> indices) const;

private:
    void SendAll(const std::vector<SecureChannel::Outgoing>& datagrams);

    ChatSender& sender;
    mutable std::mutex lock;
    SecureChannel channel; // guarded by lock
};

} // namespace kestrane
