#pragma once

#include "chat/ChatWindow.h"

namespace kestrane {

class CTavrinDlg;
class UiBridge;

/// The main window as the incoming handler sees it: each call runs on the UI
/// thread through the bridge while the dispatcher thread waits, and returns at
/// once without effect once the window is destroyed (the bridge is closed).
/// Does not own the window or the bridge. Safe to call from any thread.
class ChatWindowBridge : public ChatWindow {
public:
    ChatWindowBridge(CTavrinDlg& window, UiBridge& bridge);

    void AddPeer(const std::string& name) override;
    void RemovePeer(const std::string& name) override;
    void ShowText(const ChatMessage& message) override;
    void ReportDroppedLines(std::uint64_t lines) override;

private:
    CTavrinDlg& window;
    UiBridge& bridge;
};

} // namespace kestrane
