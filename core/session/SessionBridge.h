#pragma once

#include "chat/ChatWindow.h"

namespace kestrane {

class ChatSession;
class UiBridge;

/// The running copy as the incoming handler sees it: each call is posted
/// through the bridge, with copies of its arguments, to run on the UI thread
/// in the order the calls were made; the dispatcher thread goes on to the next
/// reception. Once the session has ended (the bridge is closed) a call has no
/// effect. Does not own the session or the bridge. Safe to call from any thread.
class SessionBridge : public ChatWindow {
public:
    SessionBridge(ChatSession& session, UiBridge& bridge);

    void AddPeer(const std::string& name, const std::string& address) override;
    void RemovePeer(const std::string& name) override;
    void ShowText(const ChatMessage& message, const std::string& address) override;
    void ShowFileNotice(const ChatMessage& message, const std::string& address) override;
    void ShowDeliveryNotice(const ChatMessage& message, const std::string& address) override;
    void HelloHeard(const std::string& name, const std::string& address) override;
    void LinesDropped() override;
    void SecureSessionUp(const SecureChannel::SessionUp& up) override;
    void SecureOpened(const std::string& address, const SecureChannel::Opened& opened) override;

private:
    ChatSession& session;
    UiBridge& bridge;
};

} // namespace kestrane
