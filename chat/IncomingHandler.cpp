#include "chat/IncomingHandler.h"

#include "chat/ChatMessage.h"
#include "chat/ChatSender.h"
#include "chat/ChatWindow.h"
#include "chat/PeerName.h"
#include "chat/SecureDatagram.h"
#include "chat/SecureLink.h"
#include "port/BroadcastFanout.h"
#include "port/PortConnection.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace kestrane {

namespace {

std::atomic<IncomingHandler*> incomingHandler{nullptr};

/// What a transport datagram carries beside its plaintext.
constexpr std::size_t kSecureOverhead = kSecureMaxDatagram - kSecureMaxPlaintext;

} // namespace

IncomingHandler::IncomingHandler(ChatWindow& chatWindow, ChatSender& chatSender, LineBudget budget,
                                 HelloAnswerBudget answers)
    : window(chatWindow), sender(chatSender), lineBudget(std::move(budget)),
      helloAnswers(std::move(answers)) {}

void IncomingHandler::Handle(const char* data, int count, const std::string& address,
                             bool toThisHost) {
    if (data == nullptr) {
        return;
    }
    // Only a host on two networks can hear one datagram twice.
    if (BroadcastFanout::Process().InterfaceCount() > 1 &&
        copies.IsCopy(std::string_view(data, static_cast<std::size_t>(std::max(count, 0))),
                      address)) {
        return;
    }
    // Ciphertext may hold NUL, which ChatMessage cuts at: DELIVERY/2 goes aside first.
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data),
                                              static_cast<std::size_t>(std::max(count, 0)));
    if (LooksSecure(bytes)) {
        HandleSecure(bytes, address);
        return;
    }
    std::unique_ptr<ChatMessage> message(new (std::nothrow) ChatMessage(data, count));
    if (!message) {
        return; // the reception is dropped when memory runs out
    }
    message->toThisHost = toThisHost;
    std::string senderName = message->sender;
    std::string_view ownName = sender.OwnName();
    auto addPeer = [&] {
        if (MayListPeer(senderName, ownName)) {
            window.AddPeer(senderName, address);
        }
    };
    switch (message->GetAction()) {
    case ACTION_SHOW_TEXT:
        if (senderName == ownName) {
            break;
        }
        if (!lineBudget.Admit(static_cast<std::size_t>(count))) {
            if (droppedLines.fetch_add(1) == 0) {
                window.LinesDropped();
            }
            break;
        }
        addPeer();
        window.ShowText(*message, address);
        break;
    case ACTION_GREET:
        addPeer();
        if (senderName != ownName) {
            window.HelloHeard(senderName, address);
        }
        if (helloAnswers.Admit(address)) {
            sender.AnswerHello();
        }
        break;
    case ACTION_ADD_PEER:
        addPeer();
        break;
    case ACTION_REMOVE_PEER:
        if (!senderName.empty()) {
            window.RemovePeer(senderName);
        }
        break;
    case ACTION_FILE_NOTICE:
        // Notices cost the window as lines do, and share their budget.
        if (senderName != ownName && lineBudget.Admit(static_cast<std::size_t>(count))) {
            window.ShowFileNotice(*message, address);
        }
        break;
    case ACTION_DELIVERY_NOTICE:
        // Receipts and heartbeats cost the window as lines do, and share their
        // budget: a flood of them must not starve the UI thread either.
        if (senderName != ownName && !senderName.empty() &&
            lineBudget.Admit(static_cast<std::size_t>(count))) {
            window.ShowDeliveryNotice(*message, address);
        }
        break;
    case ACTION_IGNORE:
        break;
    }
}

void IncomingHandler::HandleSecure(std::span<const std::uint8_t> datagram,
                                   const std::string& address) {
    SecureLink* link = secureLink.load();
    if (link == nullptr || address.empty()) {
        return;
    }
    // The engine budgets every step that costs public-key work, so a flood
    // costs bounded CPU here and posts at most one call per finished handshake.
    const SecureChannel::Result result = link->Receive(address, datagram);
    if (result.up) {
        window.SecureSessionUp(*result.up);
    }
    // Only what authenticated comes this far; it shares the lines' budget so
    // that a peer with a session cannot flood the UI thread either.
    for (const SecureChannel::Opened& opened : result.opened) {
        if (lineBudget.Admit(opened.plaintext.size() + kSecureOverhead)) {
            window.SecureOpened(address, opened);
        }
    }
}

std::int32_t OnDatagram(PortConnection* node) {
    IncomingHandler* handler = incomingHandler.load();
    if (node != nullptr && handler != nullptr) {
        handler->Handle(node->GetData(), node->GetDataLength(), node->GetPeerName(),
                        node->toOwnAddress);
    }
    return 0;
}

void SetIncomingHandler(IncomingHandler* handler) {
    incomingHandler.store(handler);
}

} // namespace kestrane
