#pragma once

#include "chat/LineBudget.h"
#include "chat/ScriptedSend.h"
#include "chat/SecureChannel.h"
#include "core/delivery/LineTrust.h"
#include "core/history/HistoryStore.h"
#include "core/session/LineSender.h"
#include "core/unread/UnreadLines.h"
#include "security/KeyPair.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrane {

class BoundedLookup;
class ChatHistory;
class ChatMessage;
class ChatSender;
class ChatWindow;
class FileTransfers;
class HostRoster;
class IncomingHandler;
class InstanceCalls;
class LineDelivery;
class MessageQueue;
class NetworkPresence;
class BroadcastPairing;
class PeerKeys;
class PortConnection;
class PortListener;
class SentLines;
class SessionBridge;
class SessionView;
class SingleInstanceLock;
class UiBridge;

/// The running copy, with or without a window: owns the listener and the
/// connection from network start until it ends, learns its own name, keeps
/// the roster's hosts, the unread queue's history, receipts and presence, the
/// outbox, the calls of other copies and of scripts, and the networks it is
/// on. Whatever shows it (a SessionView) is told what to show.
///
/// Everything runs on the UI thread, except what the listener's dispatcher
/// reaches through DeliverChatMessage and the SessionBridge, which post to it
/// through the UI bridge.
class ChatSession : public QObject {
public:
    /// What the session uses but does not own; everything must outlive it.
    struct Services {
        SessionView& view;
        MessageQueue& queue;
        UiBridge& bridge;                           // closed when the session ends
        SingleInstanceLock* instanceLock = nullptr; // freed when the session ends
        /// The dotted address of a host name, or nothing; runs on a thread of
        /// its own. Default: the resolver.
        std::function<std::optional<std::string>(const std::string& name)> lookUpAddress;
        /// Where the history is kept; empty: no history.
        QString historyFolder;
    };
    /// How long the copy waits for a resolver before going on without it.
    static constexpr std::chrono::milliseconds kLookupLimit{1000};
    /// Longest wait from the first of a run of dropped lines to the log's note of them.
    static constexpr std::chrono::milliseconds kDropReportDelay{500};

    explicit ChatSession(Services services);
    ~ChatSession() override;
    ChatSession(const ChatSession&) = delete;
    ChatSession& operator=(const ChatSession&) = delete;

    /// Answers the calls of copies started later; `comeForward` and the
    /// scripts' lines go to the view and the sender.
    void ListenForOtherCopies();
    /// Opens the network on the chat port and learns the own name off the UI
    /// thread; CompleteNetworkStart follows once it is known.
    void Start();
    /// Opens the listener and the connection on `port`, with "broadcasts"
    /// aimed at `broadcastHost` when not null (tests aim them at loopback).
    void OpenNetwork(int port, const char* broadcastHost);
    /// The rest of network start, once the own name is known: the hello, the
    /// broadcast entry, the outbox. Without a name the person is told and the
    /// copy ends. Nothing happens once the session has ended.
    void CompleteNetworkStart(const std::optional<std::string>& name);
    /// Puts a decorator around what the incoming handler talks to (benchmarks
    /// time the calls); after OpenNetwork.
    void DecorateIncoming(const std::function<std::unique_ptr<ChatWindow>(ChatWindow&)>& decorate,
                          const LineBudget& budget);
    /// The copy ends: offers are withdrawn and transfers stopped, nothing is
    /// retried, the leaving notice goes, the other
    /// copies' calls and the lock close, the bridge closes, the history is
    /// written. Runs once; `quiet` when no box can be answered any more.
    void End(bool quiet);
    bool Ended() const { return ended; }

    /// Incoming text, on the UI thread: logged, recorded, queued unread.
    /// `address` is where it came from, and where a reply goes; `trust` is
    /// how far it can be believed to come from its sender, marked beside it.
    void OnChatMessage(const ChatMessage& message, const std::string& address = {},
                       LineTrust trust = LineTrust::Plain);
    /// Hands a copy of `message` to OnChatMessage on the UI thread, after the
    /// calls posted before it, without waiting for it. False, without
    /// handling it, once the session has ended. Safe to call from any thread.
    bool DeliverChatMessage(const ChatMessage& message, const std::string& address);
    /// Lines were dropped, from the network or from the full unread queue: the
    /// log notes how many within kDropReportDelay, one note for all dropped
    /// meanwhile, whether or not another line comes.
    void ReportDroppedLinesSoon();
    /// Lists a host as HostRoster::Add does, unless it is the own name or the
    /// session has ended. A name whose key is known is only listed when
    /// missing: anything in the clear may be forged, so it never moves the
    /// host's address nor counts as heard from it.
    void AddPeer(const std::string& name, const std::string& address = {});
    /// Unlists a host as HostRoster::Remove does, unless the session has ended.
    void RemovePeer(const std::string& name);
    /// `name` said goodbye in the clear: unlisted, unless a session speaks
    /// for the name (its goodbye comes inside the session).
    void PeerLeft(const std::string& name);
    /// Unlists the hosts whose last address is `lost`; returns how many.
    int ForgetHosts(const std::function<bool(const std::string& address)>& lost);
    void OnFileNotice(const ChatMessage& message, const std::string& address);
    void OnDeliveryNotice(const ChatMessage& message, const std::string& address);
    void OnHelloHeard(const std::string& name, const std::string& address);
    /// A DELIVERY/2 session came up (posted from the dispatcher).
    void OnSecureSessionUp(const SecureChannel::SessionUp& up);
    /// A DELIVERY/2 datagram from `address` opened `opened` (posted from the dispatcher).
    void OnSecureOpened(const std::string& address, const SecureChannel::Opened& opened);
    /// Writes a note in the log: "*** note ***".
    void Note(const QString& note);

    /// Why the listener could not take `port`, naming another user that holds it.
    static std::string PortTakenText(int port);

    LineSender& Lines() { return lines; }
    UnreadLines& Unread() { return unread; }
    HostRoster& Hosts() { return *hosts; }
    SentLines& Sent() { return *sentLines; }
    SessionView& View() { return services.view; }
    BoundedLookup& Lookups() { return *lookups; }
    const std::function<std::optional<std::string>(const std::string&)>& AddressLookup() const {
        return services.lookUpAddress;
    }
    const std::string& OwnName() const { return ownName; }
    bool NetworkStarted() const { return networkStarted; }
    ChatSender* Sender() { return chatSender.get(); }
    LineDelivery* Delivery() { return delivery.get(); }
    ChatHistory* History() { return history.get(); }
    /// This copy's identity key pair, kept beside the history (for the run
    /// alone without a history folder); none when no key could be made.
    const KeyPair* Identity() const { return identity ? &*identity : nullptr; }
    /// The keys of other hosts and their sessions; none without an identity.
    PeerKeys* Keys() { return peerKeys.get(); }
    FileTransfers* Transfers() { return transfers.get(); }
    NetworkPresence* Networks() { return networks.get(); }
    PortListener* Listener() { return listener; }

private:
    void LearnOwnName();
    /// Notes the lines dropped since the last report, if any.
    void ReportDroppedLines();
    /// Queues the lines left unread when the copy last ended, and sends
    /// again, once the network has started, the lines left in the outbox.
    void Restore(const HistoryStore::Restored& restored);
    /// A session at `address` now speaks for `name`.
    void SessionTrusted(const std::string& name, const std::string& address);
    void RestoreOutbox();
    void SendLeaving(bool quiet);

    Services services;
    LineSender lines;
    UnreadLines unread;
    std::string ownName; // bytes as on the wire
    bool networkStarted = false;
    bool ended = false;
    std::unique_ptr<BoundedLookup> lookups;
    std::unique_ptr<HostRoster> hosts;
    std::unique_ptr<SentLines> sentLines;
    /// Everything said, kept on disk; none when no folder was given.
    std::unique_ptr<ChatHistory> history;
    std::optional<KeyPair> identity;
    /// Made with the identity; its link is reached by the dispatcher until the
    /// listener is released.
    std::unique_ptr<PeerKeys> peerKeys;
    std::unique_ptr<BroadcastPairing> pairing; // lines to everybody under keyed names
    /// Calls from copies started while this one runs; gone before the lock closes.
    std::unique_ptr<InstanceCalls> instanceCalls;
    /// The networks this host is on; none when the tests aim broadcasts at loopback.
    std::unique_ptr<NetworkPresence> networks;
    std::vector<HistoryRecord> outboxToRestore; // until the network has started

    // Network objects, made at network start. The handler is reached by the
    // listener's dispatcher thread until the listener is released.
    PortListener* listener = nullptr;
    PortConnection* connection = nullptr;
    std::unique_ptr<ChatSender> chatSender;
    std::unique_ptr<SessionBridge> incomingWindow;
    std::unique_ptr<IncomingHandler> incomingHandler;
    /// Receipts, the outbox and presence; made with the sender.
    std::unique_ptr<LineDelivery> delivery;
    /// Files offered and received; the server opens with the first offer.
    std::unique_ptr<FileTransfers> transfers;
    // A decorator the benchmarks put around incomingWindow, and the handler it
    // replaced, which the dispatcher may still be in.
    std::unique_ptr<ChatWindow> decorator;
    std::unique_ptr<IncomingHandler> replacedHandler;

    // The bounds on what the network can make the copy hold.
    QTimer dropReport;               // single shot; runs while dropped lines wait for their note
    std::uint64_t droppedUnread = 0; // entries the full queue dropped, not noted yet
};

} // namespace kestrane
