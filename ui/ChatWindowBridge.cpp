#include "ui/ChatWindowBridge.h"

#include "chat/ChatMessage.h"
#include "core/threads/UiBridge.h"
#include "ui/CTavrinDlg.h"

namespace kestrane {

ChatWindowBridge::ChatWindowBridge(CTavrinDlg& mainWindow, UiBridge& uiBridge)
    : window(mainWindow), bridge(uiBridge) {}

void ChatWindowBridge::AddPeer(const std::string& name, const std::string& address) {
    bridge.Post([this, name, address] { window.AddPeer(name, address); });
}

void ChatWindowBridge::RemovePeer(const std::string& name) {
    bridge.Post([this, name] { window.RemovePeer(name); });
}

void ChatWindowBridge::LinesDropped() {
    bridge.Post([this] { window.ReportDroppedLinesSoon(); });
}

void ChatWindowBridge::ShowText(const ChatMessage& message, const std::string& address) {
    window.DeliverChatMessage(message, address);
}

void ChatWindowBridge::ShowFileNotice(const ChatMessage& message, const std::string& address) {
    auto copy = std::make_shared<const ChatMessage>(message);
    bridge.Post([this, copy, address] { window.OnFileNotice(*copy, address); });
}

void ChatWindowBridge::ShowDeliveryNotice(const ChatMessage& message, const std::string& address) {
    auto copy = std::make_shared<const ChatMessage>(message);
    bridge.Post([this, copy, address] { window.OnDeliveryNotice(*copy, address); });
}

void ChatWindowBridge::HelloHeard() {
    bridge.Post([this] { window.OnHelloHeard(); });
}

} // namespace kestrane
