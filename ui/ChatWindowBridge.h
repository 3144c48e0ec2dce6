#pragma once

#include "chat/ChatWindow.h"

namespace kestrane {

class CTavrinDlg;
class UiBridge;

/// The main window as the incoming handler sees it: each call is posted through
/// the bridge, with copies of its arguments, to run on the UI thread in the
/// order the calls were made; the dispatcher thread goes on to the next
/// reception. Once the window is destroyed (the bridge is closed) a call has no
/// effect. Does not own the window or the bridge. Safe to call from any thread.
class ChatWindowBridge : public ChatWindow {
public:
    ChatWindowBridge(CTavrinDlg& window, UiBridge& bridge);

    void AddPeer(const std::string& name, const std::string& address) override;
    void RemovePeer(const std::string& name) override;
    void ShowText(const ChatMessage& message, const std::string& address) override;
    void ShowFileNotice(const ChatMessage& message, const std::string& address) override;
    void ShowDeliveryNotice(const ChatMessage& message, const std::string& address) override;
    void HelloHeard() override;
    void LinesDropped() override;

private:
    CTavrinDlg& window;
    UiBridge& bridge;
};

} // namespace kestrane
