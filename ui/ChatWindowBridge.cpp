#include "ui/ChatWindowBridge.h"

#include "ui/CTavrinDlg.h"
#include "ui/UiBridge.h"

namespace kestrane {

ChatWindowBridge::ChatWindowBridge(CTavrinDlg& mainWindow, UiBridge& uiBridge)
    : window(mainWindow), bridge(uiBridge) {}

void ChatWindowBridge::AddPeer(const std::string& name) {
    bridge.Post([this, name] { window.AddPeer(name); });
}

void ChatWindowBridge::RemovePeer(const std::string& name) {
    bridge.Post([this, name] { window.RemovePeer(name); });
}

void ChatWindowBridge::ReportDroppedLines(std::uint64_t lines) {
    bridge.Post([this, lines] { window.ShowDroppedLines(lines); });
}

void ChatWindowBridge::ShowText(const ChatMessage& message) {
    window.DeliverChatMessage(message);
}

} // namespace kestrane
