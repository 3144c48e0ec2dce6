#pragma once

#include "chat/ChatDatagram.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace kestrane {

class PortConnection;

enum class SendResult {
    Sent,
    Failed,       // the send failed; the "IPORT Error." box was shown
    TooLong,      // the datagram would exceed what a receiver accepts; nothing was sent
    NoConnection, // the network is not started; nothing was sent
    NoName,       // the own name is not known yet; nothing was sent
    Unreachable   // the recipient has no address to send to; nothing was sent
};

/// Every datagram this copy sends goes through here: the hello, the online
/// answers, the user's lines and replies, and the leaving notice. Nothing goes
/// out before the own name is published: a datagram must say who sent it.
///
/// The connection is shared by the UI thread and the listener's dispatcher
/// thread. One lock is held over each aim-and-send pair, so no datagram goes out
/// through a socket being re-created and none goes to another send's host. The
/// error box is shown after the lock is released: the dispatcher waits for the
/// UI thread while a box is up, and the UI thread may be waiting for the lock.
///
/// Does not own the connection. Safe to call from any thread.
class ChatSender {
public:
    /// `port` and `broadcastHost` are seams for tests, which must not broadcast:
    /// they aim "broadcasts" at a loopback host instead.
    explicit ChatSender(PortConnection* connection, int port = CHAT_PORT,
                        const char* broadcastHost = nullptr);
    ChatSender(const ChatSender&) = delete;
    ChatSender& operator=(const ChatSender&) = delete;

    /// Sets the own name once; later calls change nothing. Readers on other
    /// threads see either the empty name or the whole name.
    void PublishOwnName(std::string name);
    /// Empty until PublishOwnName.
    std::string_view OwnName() const;

    /// Without `reportFailure` a failed send shows no box (a hello again,
    /// after the machine woke, may find no network yet).
    SendResult SendHello(bool reportFailure = true);
    /// The hello again, to everybody on the one network of interface
    /// `interfaceIndex` (one that has just come up); no box on failure.
    SendResult SendHelloOn(unsigned interfaceIndex);
    /// Answers every hello by broadcast, so a newcomer always learns of this copy.
    SendResult AnswerHello();
    SendResult BroadcastText(std::string_view line);
    /// Lines to one host and replies go to a dotted IPv4 `address`, never to a
    /// name: a name lookup may wait for seconds, and it would hold the lock
    /// that the dispatcher's online answers need. Other text is Unreachable.
    SendResult SendText(std::string_view address, std::string_view line);
    SendResult SendReply(std::string_view address, std::string_view text);
    /// A file-transfer notice to one dotted address.
    SendResult SendFileNotice(std::string_view address, std::string_view text);
    /// A receipts-and-presence notice to one dotted address, or by broadcast
    /// when `address` is empty. A failure shows no box: receipts and
    /// heartbeats are retried on their own schedule.
    SendResult SendDeliveryNotice(std::string_view address, std::string_view text);
    /// A whole DELIVERY/2 datagram (binary, composed by ComposeSecureDatagram)
    /// to one dotted address, or by broadcast when `address` is empty. A
    /// failure shows no box: handshakes and sessions retry on their own.
    SendResult SendSecure(std::string_view address, std::span<const std::uint8_t> datagram);
    /// Without `reportFailure` a failed send shows no box: the program may be
    /// ending where nobody can dismiss one (a termination signal, logoff).
    SendResult SendLeaving(bool reportFailure = true);

    /// Longest text of a line or reply that a receiver takes whole, given the own name.
    int LongestText() const;

private:
    /// Aims at `host` (broadcast when null; otherwise a dotted address or the
    /// tests' loopback host) and sends `count` bytes of `datagram`.
    /// With an `interfaceIndex`, a broadcast leaves through that interface only.
    SendResult AimAndSend(const char* host, const char* datagram, int count, bool reportFailure,
                          unsigned interfaceIndex);
    SendResult ComposeAndSend(const char* host, std::uint8_t type, std::string_view text,
                              bool reportFailure = true, unsigned interfaceIndex = 0);

    PortConnection* connection;
    const int port;
    const char* const broadcastHost; // null: the broadcast address
    std::mutex sendLock;             // guards every use of connection
    std::string ownName;             // written once, before ownNamePublished
    std::atomic<bool> ownNamePublished{false};
};

} // namespace kestrane
