#include "core/session/SessionBridge.h"

#include "chat/ChatMessage.h"
#include "core/session/ChatSession.h"
#include "core/threads/UiBridge.h"

#include <memory>

namespace kestrane {

SessionBridge::SessionBridge(ChatSession& runningSession, UiBridge& uiBridge)
    : session(runningSession), bridge(uiBridge) {}

void SessionBridge::AddPeer(const std::string& name, const std::string& address) {
    bridge.Post([this, name, address] { session.AddPeer(name, address); });
}

void SessionBridge::RemovePeer(const std::string& name) {
    bridge.Post([this, name] { session.PeerLeft(name); });
}

void SessionBridge::LinesDropped() {
    bridge.Post([this] { session.ReportDroppedLinesSoon(); });
}

void SessionBridge::ShowText(const ChatMessage& message, const std::string& address) {
    session.DeliverChatMessage(message, address);
}

void SessionBridge::ShowFileNotice(const ChatMessage& message, const std::string& address) {
    auto copy = std::make_shared<const ChatMessage>(message);
    bridge.Post([this, copy, address] { session.OnFileNotice(*copy, address); });
}

void SessionBridge::ShowDeliveryNotice(const ChatMessage& message, const std::string& address) {
    auto copy = std::make_shared<const ChatMessage>(message);
    bridge.Post([this, copy, address] { session.OnDeliveryNotice(*copy, address); });
}

void SessionBridge::SecureSessionUp(const SecureChannel::SessionUp& up) {
    bridge.Post([this, up] { session.OnSecureSessionUp(up); });
}

void SessionBridge::SecureOpened(const std::string& address, const SecureChannel::Opened& opened) {
    bridge.Post([this, address, opened] { session.OnSecureOpened(address, opened); });
}

void SessionBridge::HelloHeard(const std::string& name, const std::string& address) {
    bridge.Post([this, name, address] { session.OnHelloHeard(name, address); });
}

} // namespace kestrane
