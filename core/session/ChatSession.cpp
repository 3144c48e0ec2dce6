#include "core/session/ChatSession.h"

#include "chat/ChatMessage.h"
#include "chat/IncomingHandler.h"
#include "chat/OwnName.h"
#include "chat/PeerName.h"
#include "chat/chat.h"
#include "core/NetworkText.h"
#include "core/delivery/BroadcastPairing.h"
#include "core/delivery/LineDelivery.h"
#include "core/delivery/LineLook.h"
#include "core/delivery/SentLines.h"
#include "core/history/ChatHistory.h"
#include "core/identity/IdentityFile.h"
#include "core/identity/PeerKeys.h"
#include "core/instance/InstanceCalls.h"
#include "core/network/NetworkPresence.h"
#include "core/roster/HostRoster.h"
#include "core/session/SessionBridge.h"
#include "core/session/SessionView.h"
#include "core/threads/BoundedLookup.h"
#include "core/threads/UiBridge.h"
#include "core/transfers/FileTransfers.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstanceLock.h"
#include "port/HostLookup.h"
#include "port/PortOwner.h"
#include "port/port.h"

#include <string_view>
#include <unistd.h>
#include <utility>

namespace kestrane {
namespace {

const std::string kBoxCaption = "Kestrane";

// "1 incoming line was", "2 incoming lines were".
QString LinesWere(std::uint64_t count, const char* kind) {
    return count == 1 ? QStringLiteral("1 %1 line was").arg(QLatin1String(kind))
                      : QStringLiteral("%1 %2 lines were").arg(count).arg(QLatin1String(kind));
}

std::optional<std::string> ResolveAddress(const std::string& name) {
    if (std::optional<in_addr_t> address = LookUpHostAddress(name.c_str())) {
        return DottedAddress(*address);
    }
    return std::nullopt;
}

} // namespace

ChatSession::ChatSession(Services sessionServices)
    : services(std::move(sessionServices)), lines(*this),
      unread(services.queue, {.read =
                                  [this](std::int64_t historyId) {
                                      if (history) {
                                          history->Read(historyId);
                                      }
                                  }}),
      lookups(std::make_unique<BoundedLookup>()),
      hosts(std::make_unique<HostRoster>([this](const QString& note) { Note(note); })) {
    if (!services.lookUpAddress) {
        services.lookUpAddress = ResolveAddress;
    }
    sentLines = std::make_unique<SentLines>(
        [this](std::uint64_t logLine, LineLook look, const QString& words) {
            if (!ended) {
                services.view.SetMark(logLine, look, words);
            }
        },
        [this](const QString& note) { Note(note); },
        [this](const std::string& name) { return delivery != nullptr && delivery->IsAway(name); });
    if (!services.historyFolder.isEmpty()) {
        history = std::make_unique<ChatHistory>(
            services.historyFolder, *this,
            ChatHistory::Hooks{
                .restored = [this](const HistoryStore::Restored& restored) { Restore(restored); },
                .note = [this](const QString& note) { Note(note); }});
        sentLines->RecordIn([this](std::int64_t id, HistoryRecord::Delivery state, bool inOutbox) {
            history->DeliveryChanged(id, state, inOutbox);
        });
    }
    if (std::optional<IdentityFile::Loaded> loaded = IdentityFile::Load(services.historyFolder)) {
        identity = std::move(loaded->keys);
        if (!loaded->note.isEmpty()) {
            // Told once the window that shows notes is made.
            QMetaObject::invokeMethod(
                this, [this, note = loaded->note] { Note(note); }, Qt::QueuedConnection);
        }
    }
    peerKeys = std::make_unique<PeerKeys>(
        services.historyFolder, Identity(),
        PeerKeys::Hooks{
            .note =
                [this](const QString& note) {
                    // Told once the window that shows notes is made.
                    QMetaObject::invokeMethod(
                        this, [this, note] { Note(note); }, Qt::QueuedConnection);
                },
            .changed =
                [this](const std::string& name) {
                    if (!ended) {
                        hosts->KeysChanged(name);
                        services.view.KeysChanged(name);
                    }
                },
            .trusted = [this](const std::string& name,
                              const std::string& address) { SessionTrusted(name, address); },
            // A keyed name: listed if missing, so a send to it says why it waits.
            .undecided = [this](const std::string& name,
                                const std::string& address) { AddPeer(name, address); }});
    pairing = std::make_unique<BroadcastPairing>(
        [this](const ChatMessage& line, const std::string& address, LineTrust trust) {
            if (ended) {
                return;
            }
            OnChatMessage(line, address, trust);
            // Shown in the clear: a sealed copy that comes late claims it.
            if (!IsSealed(trust) && delivery != nullptr) {
                delivery->PlainLineShown(line.sender, line.GetText());
            }
        });
    hosts->DescribeKeys([this](const std::string& name) { return peerKeys->Describe(name); });
    services.queue.left = [this](const HistoryEntry& entry) { unread.Left(entry); };
    dropReport.setSingleShot(true);
    dropReport.setInterval(kDropReportDelay);
    connect(&dropReport, &QTimer::timeout, this, &ChatSession::ReportDroppedLines);
}

ChatSession::~ChatSession() {
    End(false);
    networks.reset();
    // The listener goes first: its dispatcher may still be waiting on the
    // (closed) bridge, and it uses the members below until it has ended.
    if (listener != nullptr) {
        ReleasePortListener(listener);
        listener = nullptr;
    }
    SetIncomingHandler(nullptr);
    peerKeys.reset();
    incomingHandler.reset();
    replacedHandler.reset();
    decorator.reset();
    incomingWindow.reset();
    delivery.reset();
    chatSender.reset();
    if (connection != nullptr) {
        ReleasePortConnection(connection);
        connection = nullptr;
    }
    PortCleanup();
}

void ChatSession::ListenForOtherCopies() {
    if (services.instanceLock == nullptr || services.instanceLock->Descriptor() < 0) {
        return;
    }
    instanceCalls = std::make_unique<InstanceCalls>(
        *services.instanceLock,
        InstanceCalls::Hooks{.comeForward =
                                 [this](const ComeForwardRequest& request) {
                                     InstanceCalls::WithActivationToken(
                                         request, [this] { services.view.ComeForward(); });
                                 },
                             .sendLine =
                                 [this](const ScriptedSend& request, InstanceCalls::Reply reply) {
                                     lines.SendForScript(request, std::move(reply));
                                 }});
}

void ChatSession::End(bool quiet) {
    if (ended) {
        return;
    }
    ended = true;
    // Offers are withdrawn, and transfers stopped, before the goodbye; nothing
    // is retried or probed once it is on its way.
    transfers.reset();
    delivery.reset();
    peerKeys->SayGoodbye();
    SendLeaving(quiet);
    instanceCalls.reset();
    if (services.instanceLock != nullptr) {
        services.instanceLock->Close();
    }
    services.bridge.Close();
    services.queue.left = {};
    peerKeys->Flush();
    if (history) {
        history->Flush(std::chrono::seconds(2));
    }
}

void ChatSession::SendLeaving(bool quiet) {
    if (chatSender != nullptr) {
        static_cast<void>(chatSender->SendLeaving(!quiet));
    }
}

void ChatSession::Start() {
    OpenNetwork(CHAT_PORT, nullptr);
    LearnOwnName();
}

void ChatSession::OpenNetwork(int port, const char* broadcastHost) {
    PortStartup();
    if (CreatePortConnection(broadcastHost, port, PORT_MODE_UDP, nullptr, nullptr, &connection) !=
        0) {
        connection = nullptr;
    }
    chatSender = std::make_unique<ChatSender>(connection, port, broadcastHost);
    if (broadcastHost == nullptr && connection != nullptr) {
        networks = std::make_unique<NetworkPresence>(
            NetworkPresence::Hooks{
                .helloOn = [this](unsigned index) { chatSender->SendHelloOn(index); },
                .hello = [this] { chatSender->SendHello(false); },
                .forgetHosts = [this](const auto& lost) { return ForgetHosts(lost); },
                .note = [this](const QString& note) { Note(note); }},
            *lookups);
        networks->Prepare();
    }
    delivery = std::make_unique<LineDelivery>(
        *chatSender,
        LineDelivery::Hooks{
            .show =
                [this](const ChatMessage& line, const std::string& address, LineTrust trust) {
                    if (!line.toThisHost && IsSealed(trust)) {
                        pairing->SealedShown(line.sender, line.GetText());
                    }
                    OnChatMessage(line, address, trust);
                },
            .changed =
                [this](LineDelivery::LineKey key, const LineDelivery::Status& status) {
                    sentLines->Changed(key, status);
                },
            .away = [this](const std::string& name, bool away) { hosts->SetAway(name, away); },
            .announced = [this](const std::string& name,
                                const std::string& address) { peerKeys->Announced(name, address); },
            .heartbeat = [this] { peerKeys->Heartbeat(); },
            .left = [this](const std::string& name) { RemovePeer(name); },
            .paired = [this](const std::string& name, std::string_view line,
                             LineTrust trust) { return pairing->Pair(name, line, trust); },
            .file =
                [this](const std::string& name, const std::string& address,
                       const std::string& notice) {
                    if (const auto session = peerKeys->TrustedSession(name); session && transfers) {
                        transfers->OnPrivateNotice(name, address, notice, session->peerKey);
                    }
                }});
    transfers = std::make_unique<FileTransfers>(
        FileTransfers::Hooks{
            .sendNotice =
                [this](const std::string& address, const std::string& text) {
                    return chatSender->SendFileNotice(address, text);
                },
            .note = [this](const QString& note) { Note(note); },
            .alert = [this] { services.view.OfferArrived(); },
            .keyed = [this](const std::string& name) { return delivery->Keyed(name); },
            .privatePeer =
                [this](const std::string& name) -> std::optional<FileTransfers::PrivatePeer> {
                // Nothing goes to a name whose new key waits for the person.
                const auto session = peerKeys->TrustedSession(name);
                if (session && session->peerFiles && !peerKeys->Undecided(name)) {
                    return FileTransfers::PrivatePeer{session->peerKey, session->address};
                }
                return std::nullopt;
            },
            .sendPrivate =
                [this](const std::string& name, const std::string& text) {
                    return peerKeys->Seal(name, {}, DeliveryNotice::File(text).ComposeInner());
                }},
        port, identity ? &*identity : nullptr);
    connect(transfers.get(), &FileTransfers::Changed, this, [this] {
        if (history) {
            history->FollowOffers(transfers->Transfers());
        }
    });
    incomingWindow = std::make_unique<SessionBridge>(*this, services.bridge);
    incomingHandler = std::make_unique<IncomingHandler>(*incomingWindow, *chatSender);
    SetIncomingHandler(incomingHandler.get());
    if (CreatePortListener(LISTEN_UDP, port, OnDatagram, nullptr, nullptr, &listener) != 0) {
        listener = nullptr;
        ShowMessageBox(PortTakenText(port), kBoxCaption);
    }
}

void ChatSession::DecorateIncoming(
    const std::function<std::unique_ptr<ChatWindow>(ChatWindow&)>& decorate,
    const LineBudget& budget) {
    decorator = decorate(*incomingWindow);
    // The first handler stays alive: the dispatcher may still be in it.
    replacedHandler = std::exchange(
        incomingHandler, std::make_unique<IncomingHandler>(*decorator, *chatSender, budget));
    SetIncomingHandler(incomingHandler.get());
    peerKeys->HandOver(*incomingHandler);
}

std::string ChatSession::PortTakenText(int port) {
    const std::optional<uid_t> owner = UdpPortOwner(port);
    const std::string holder =
        owner && *owner != ::getuid()
            ? "a program of another user of this computer (" + UserName(*owner) +
                  "): on one computer only one user at a time can receive Kestrane's messages"
            : "another program";
    return "Kestrane cannot receive messages: UDP port " + std::to_string(port) + " is in use by " +
           holder + ". Lines can still be sent.";
}

void ChatSession::LearnOwnName() {
    const std::optional<std::string> hostName = LocalHostName();
    if (!hostName) {
        CompleteNetworkStart(std::nullopt);
        return;
    }
    // The canonical name may take a dead name server many seconds; the window,
    // the tray and the signals stay live meanwhile.
    lookups->Start([hostName] { return std::optional(CanonicalNameOf(*hostName)); }, kLookupLimit,
                   [this, hostName](std::optional<std::string> canonical) {
                       if (!canonical) {
                           Note(QStringLiteral("The resolver did not give this computer's full "
                                               "name within a second: Kestrane calls itself %1")
                                    .arg(NetworkName(OwnNameFromCanonical(*hostName))));
                       }
                       CompleteNetworkStart(OwnNameFromCanonical(canonical.value_or(*hostName)));
                   });
}

void ChatSession::CompleteNetworkStart(const std::optional<std::string>& name) {
    if (ended || networkStarted) {
        return;
    }
    if (!name) {
        ShowMessageBox("gethostname( .. ) returned error.", "ERROR");
        services.view.EndRequested();
        return;
    }
    ownName = *name;
    // Before the hello: when it cannot go out (no network yet), its error box
    // waits for the user, and a network that comes meanwhile is greeted all the same.
    if (networks != nullptr) {
        networks->Greeted();
    }
    if (chatSender != nullptr) {
        chatSender->PublishOwnName(ownName);
        if (incomingHandler != nullptr) {
            peerKeys->Start(ownName, *chatSender, *incomingHandler);
        }
        chatSender->SendHello();
        if (delivery != nullptr) {
            if (peerKeys->Running()) {
                delivery->AnnounceSecure(*peerKeys);
            }
            delivery->Started();
        }
    }
    if (ended) {
        return; // ended from inside the hello's box
    }
    networkStarted = true;
    RestoreOutbox();
    hosts->ListBroadcast();
    services.view.NetworkStarted(ownName);
}

void ChatSession::OnChatMessage(const ChatMessage& message, const std::string& address,
                                LineTrust trust) {
    // The name ends no line of the log; the text's own line end does.
    const QString sender = NetworkName(message.sender);
    const QString text = DecodeNetworkText(message.GetText());
    QString logged = sender + QStringLiteral(" : ") + text;
    // A line that came without a line end gets one in the log: the next line
    // cannot run on from it, and the log's bound counts it.
    if (!text.endsWith(QLatin1Char('\n')) && !text.endsWith(QLatin1Char('\r'))) {
        logged += QStringLiteral("\r\n");
    }
    const std::uint64_t logLine = services.view.Log(logged, SessionView::Stamp::Received);
    if (std::string_view(message.sender) == ownName) {
        return;
    }
    HistoryEntry entry;
    entry.logLine = logLine;
    entry.toYou = message.toThisHost;
    if (entry.toYou) {
        services.view.SetMark(logLine, LineLook::ToYou,
                              QStringLiteral("%1 sent this line to you alone").arg(sender));
    }
    entry.trust = trust;
    services.view.SetTrust(logLine, trust, sender);
    entry.AppendText(text);
    entry.SetSender(sender);
    entry.senderBytes = message.sender;
    entry.senderAddress = address;
    const bool looking = services.view.PersonLooking(entry);
    if (history) {
        entry.historyId = history->Received(entry, !looking);
    }
    if (unread.Arrived(entry, looking)) {
        ++droppedUnread;
        ReportDroppedLinesSoon();
    }
    services.view.LineQueued(services.queue.entries.back());
}

bool ChatSession::DeliverChatMessage(const ChatMessage& message, const std::string& address) {
    auto copy = std::make_shared<const ChatMessage>(message);
    return services.bridge.Post([this, copy, address] {
        if (ended) {
            return;
        }
        // Anyone can send a plain line under a name whose key is known; a
        // line to everybody waits a moment for its sealed copy.
        const bool keyed = delivery != nullptr && delivery->Keyed(copy->sender);
        if (keyed && !copy->toThisHost) {
            pairing->Hold(copy, address);
            return;
        }
        OnChatMessage(*copy, address, keyed ? LineTrust::NotAuthenticated : LineTrust::Plain);
        if (delivery != nullptr) {
            delivery->PlainLineShown(copy->sender, copy->GetText());
        }
    });
}

void ChatSession::ReportDroppedLinesSoon() {
    if (!dropReport.isActive()) {
        dropReport.start();
    }
}

void ChatSession::ReportDroppedLines() {
    // The handler's count is taken whole, so no drop is noted twice or lost.
    if (const std::uint64_t dropped = incomingHandler ? incomingHandler->TakeDroppedLines() : 0) {
        Note(LinesWere(dropped, "incoming") +
             QStringLiteral(" dropped: lines came faster than they can be shown"));
    }
    if (droppedUnread > 0) {
        Note(LinesWere(std::exchange(droppedUnread, 0), "unread") +
             QStringLiteral(" dropped: the queue keeps the newest 1,000"));
    }
}

void ChatSession::Note(const QString& note) {
    if (!ended) {
        services.view.Log(QStringLiteral("*** ") + note + QStringLiteral(" ***\r\n"),
                          SessionView::Stamp::None);
    }
}

void ChatSession::Restore(const HistoryStore::Restored& restored) {
    if (ended) {
        return;
    }
    for (const HistoryRecord& record : restored.unread) {
        HistoryEntry entry;
        entry.SetSender(record.peer);
        entry.AppendText(record.text);
        entry.senderBytes = EncodeNetworkText(record.peer).toStdString();
        entry.senderAddress = record.address.toStdString();
        entry.historyId = record.id;
        entry.toYou = !record.toEverybody;
        entry.trust = record.trust;
        unread.Restored(std::move(entry));
    }
    if (!restored.unread.empty()) {
        services.view.UnreadRestored(static_cast<int>(restored.unread.size()));
        Note(LinesWere(restored.unread.size(), "unread") +
             QStringLiteral(" left when Kestrane last ended; they wait to be read"));
    }
    outboxToRestore = restored.outbox;
    if (!outboxToRestore.empty()) {
        Note(QStringLiteral("%1 left in the outbox when Kestrane last ended; each goes "
                            "when its host is heard from")
                 .arg(outboxToRestore.size() == 1
                          ? QStringLiteral("1 line was")
                          : QStringLiteral("%1 lines were").arg(outboxToRestore.size())));
    }
    RestoreOutbox();
}

void ChatSession::RestoreOutbox() {
    if (!networkStarted || delivery == nullptr) {
        return;
    }
    for (const HistoryRecord& record : std::exchange(outboxToRestore, {})) {
        const std::string host = EncodeNetworkText(record.peer).toStdString();
        const std::string address = hosts->AddressOf(host).value_or(record.address.toStdString());
        const LineDelivery::LineKey key =
            delivery->Restore({host, address}, record.receiptId.toStdString(),
                              EncodeNetworkText(record.text).toStdString());
        sentLines->Track(key,
                         {.logLine = std::nullopt,
                          .host = host,
                          .text = WithoutLineEnd(record.text),
                          .withoutReceipts = 0,
                          .reply = {},
                          .historyId = record.id,
                          .restored = true},
                         *delivery->StatusOf(key));
    }
}

void ChatSession::AddPeer(const std::string& name, const std::string& address) {
    if (!ended && MayListPeer(name, ownName)) {
        if (delivery != nullptr && delivery->Keyed(name)) {
            if (hosts->Find(name) < 0) {
                hosts->Add(name, address);
            }
            return;
        }
        hosts->Add(name, address);
        if (networks != nullptr && !address.empty()) {
            networks->Heard(name, address);
        }
        if (delivery != nullptr) {
            delivery->Heard(name, address);
        }
    }
}

void ChatSession::RemovePeer(const std::string& name) {
    if (!ended && !name.empty()) {
        hosts->Remove(name);
        if (delivery != nullptr) {
            delivery->Left(name);
        }
    }
}

void ChatSession::PeerLeft(const std::string& name) {
    if (!ended && !(peerKeys->Running() && peerKeys->SessionAddress(name))) {
        RemovePeer(name);
    }
}

void ChatSession::SessionTrusted(const std::string& name, const std::string& address) {
    if (ended || !MayListPeer(name, ownName)) {
        return;
    }
    // The only way a keyed host's address moves: a session its key proved.
    hosts->Add(name, address);
    if (networks != nullptr) {
        networks->Heard(name, address);
    }
    if (delivery != nullptr) {
        delivery->SecureHeard(name, address);
    }
}

int ChatSession::ForgetHosts(const std::function<bool(const std::string& address)>& lost) {
    int forgotten = 0;
    for (const std::string& name : hosts->Names()) {
        if (const std::optional<std::string> address = hosts->AddressOf(name);
            address && lost(*address)) {
            RemovePeer(name);
            ++forgotten;
        }
    }
    return forgotten;
}

void ChatSession::OnFileNotice(const ChatMessage& message, const std::string& address) {
    if (ended) {
        return;
    }
    AddPeer(message.sender, address);
    if (transfers != nullptr) {
        transfers->OnNotice(message.sender, address, std::string(message.GetText()));
    }
}

void ChatSession::OnDeliveryNotice(const ChatMessage& message, const std::string& address) {
    if (ended || delivery == nullptr) {
        return;
    }
    AddPeer(message.sender, address);
    delivery->OnNotice(message, address);
}

void ChatSession::OnSecureSessionUp(const SecureChannel::SessionUp& up) {
    if (!ended) {
        peerKeys->SessionUp(up);
    }
}

void ChatSession::OnSecureOpened(const std::string& address, const SecureChannel::Opened& opened) {
    // What a session brings counts at the session's own address.
    if (ended || delivery == nullptr) {
        return;
    }
    if (const std::optional<PeerKeys::Speaker> speaker = peerKeys->SpeakerOf(opened.session)) {
        if (address != speaker->address) {
            peerKeys->HeardElsewhere(speaker->name, address);
        }
        const std::string_view plaintext(reinterpret_cast<const char*>(opened.plaintext.data()),
                                         opened.plaintext.size());
        delivery->OnSecureNotice(speaker->name, speaker->address, plaintext, speaker->trust);
    }
}

void ChatSession::OnHelloHeard(const std::string& name, const std::string& address) {
    if (!ended && delivery != nullptr) {
        delivery->HelloHeard();
        peerKeys->HelloHeard(name, address);
    }
}

} // namespace kestrane
