#pragma once

#include "chat/HelloAnswerBudget.h"
#include "chat/LineReceipts.h"
#include "chat/PeerPresence.h"
#include "chat/ShownLines.h"
#include "core/delivery/LineTrust.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

class ChatMessage;
class ChatSender;
class SecureRoute;

/// Receipts, retries, the outbox and presence between Kestrane hosts, for the
/// main window: drives ShownLines, LineReceipts and PeerPresence from one timer
/// and sends their notices through the chat sender. Hosts that have not yet
/// answered from their address with a DELIVERY/1 notice get plain lines, as the
/// original chat expects, and are probed only to check that. What goes out
/// unasked is bounded: answers to PROBE by kProbeAnswerLimits, probes and
/// retransmissions together by kDeliverySendLimits (both in HelloAnswerBudget).
/// Hosts whose key is known (SetRoute) are reached only through their
/// DELIVERY/2 session: what comes in the clear under their name moves no
/// receipt, presence or address, and a line in the clear is shown as not
/// authenticated. Does not own the sender or the route. UI thread only.
class LineDelivery : public QObject {
public:
    using LineKey = LineReceipts::LineKey;
    using Status = LineReceipts::Status;

    struct Hooks {
        /// Shows a line that came in a notice as a plain line would be shown:
        /// logged and queued. Its receipt goes out when this returns.
        std::function<void(const ChatMessage& line, const std::string& address, LineTrust trust)>
            show;
        /// A tracked line's status changed.
        std::function<void(LineKey key, const Status& status)> changed;
        /// A Kestrane host went away (true) or came back (false).
        std::function<void(const std::string& name, bool away)> away;
        /// `name` announced DELIVERY/2 from `address` (only once AnnounceSecure
        /// was called). May be empty.
        std::function<void(const std::string& name, const std::string& address)> announced;
        /// The presence heartbeat went out. May be empty.
        std::function<void()> heartbeat;
        /// `name` said goodbye inside its session. May be empty.
        std::function<void(const std::string& name)> left;
        /// The sealed copy of a line to everybody came from `name` with
        /// `trust`: true when it showed the clear line held for it. May be empty.
        std::function<bool(const std::string& name, std::string_view line, LineTrust trust)> paired;
        /// A file notice came sealed in the session that speaks for `name`,
        /// at `address`. May be empty.
        std::function<void(const std::string& name, const std::string& address,
                           const std::string& notice)>
            file;
    };

    LineDelivery(ChatSender& sender, Hooks hooks);

    /// The own hello went out: PRESENT follows it, and the heartbeat starts.
    void Started();
    /// From now on PRESENT says this copy speaks DELIVERY/2 too, and hosts
    /// with a key are reached through `route`, which outlives this object;
    /// before Started.
    void AnnounceSecure(SecureRoute& secureRoute) {
        announceSecure = true;
        route = &secureRoute;
    }
    /// Whether nothing in the clear speaks for `name` (its key is known).
    bool Keyed(const std::string& name) const;
    /// A session that speaks for `name` came up, or brought something, from
    /// `address`: the host is heard there, and its outbox goes there.
    void SecureHeard(const std::string& name, const std::string& address);
    /// The plaintext of a transport datagram on a session of `name` at
    /// `address`, whose key gives the trust of what it brings. Only
    /// Private and Verified sessions count as the host; lines under a
    /// NewKey session are shown marked and not acknowledged.
    void OnSecureNotice(const std::string& name, const std::string& address,
                        std::string_view plaintext, LineTrust trust);

    /// Anything was heard from `name` at `address`.
    void Heard(const std::string& name, const std::string& address);
    void HelloHeard();
    /// `name` said goodbye.
    void Left(const std::string& name);
    /// A plain line from `sender` was shown; a notice may claim it later.
    void PlainLineShown(const std::string& sender, std::string_view line);
    /// A DELIVERY notice from another host, which came from `address`.
    void OnNotice(const ChatMessage& notice, const std::string& address);

    bool SpeaksDelivery(const std::string& name) const;
    /// The longest line (CR LF included) that goes sealed to one host.
    static std::size_t LongestPrivateLine();
    bool IsAway(const std::string& name) const;
    /// Sends `line` (CR LF included) to a Kestrane host with a receipt asked
    /// for. Nothing, and nothing sent, when the line does not fit in a notice:
    /// it then goes as a plain line.
    std::optional<LineKey> SendToOne(const LineReceipts::Host& host, const std::string& line,
                                     bool keep = true);
    /// After `line` went to everybody as a plain broadcast: asks the Kestrane
    /// hosts present for receipts.
    std::optional<LineKey> AfterBroadcast(const std::string& line);
    /// The hosts present whose key is known: those a line to everybody can
    /// reach privately.
    std::vector<LineReceipts::Host> PrivateHostsPresent() const;
    /// Sends `line` to everybody with no broadcast: sealed, one copy to each
    /// of PrivateHostsPresent, receipts asked for. Nothing, and nothing
    /// sent, when there is no such host or the line is too long to seal.
    std::optional<LineKey> ToEachKestraneHost(const std::string& line);
    /// A line to one host that waited in the outbox when the program last
    /// ended: it goes again now, under its old id.
    LineKey Restore(const LineReceipts::Host& host, const std::string& id, const std::string& line);
    /// The receipts id of a tracked line; empty once forgotten.
    std::string IdOf(LineKey key) const;
    /// Sends a line that was not delivered again now.
    bool Retry(LineKey key);
    std::optional<Status> StatusOf(LineKey key) const;

private:
    void Send(const std::string& address, const DeliveryNotice& notice);
    /// Sends `notice` to `name` at `address`: sealed when its key is known.
    void SendTo(const std::string& name, const std::string& address, const DeliveryNotice& notice);
    /// How the receipt of a line goes back: a line under a key not yet
    /// accepted gets none, one in the clear a clear one (it reveals nothing).
    enum class Receipt { None, Clear, Sealed };
    /// Shows a line of a LINE notice (unless shown already) and acknowledges it.
    void TakeLine(const std::string& name, const std::string& address, const DeliveryNotice& notice,
                  LineTrust trust, Receipt receipt);
    /// `name` was heard from `address`: present (and speaking DELIVERY/1 when
    /// `speaksDelivery`), and its outbox goes there. The caller runs what is due.
    void NoteHeard(const std::string& name, const std::string& address, bool speaksDelivery);
    /// Does what is due and sets the timer for what comes next.
    void Run();
    void Report(LineKey key);

    ChatSender& sender;
    Hooks hooks;
    ShownLines shown;
    LineReceipts receipts;
    PeerPresence presence;
    HelloAnswerBudget probeAnswers;
    HelloAnswerBudget sends; // probes and retransmissions
    QTimer timer;
    bool started = false;
    bool announceSecure = false;
    SecureRoute* route = nullptr;
};

} // namespace kestrane
