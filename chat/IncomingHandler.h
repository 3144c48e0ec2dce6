#pragma once

#include <cstdint>

namespace kestrane {

class ChatSender;
class ChatWindow;
class PortConnection;

/// Acts on each received datagram: answers hellos, keeps the roster and hands
/// text from other hosts to the main window. Runs on the listener's dispatcher
/// thread. Does not own the window or the sender.
class IncomingHandler {
public:
    IncomingHandler(ChatWindow& window, ChatSender& sender);

    /// Handles one reception of `count` bytes; null data is ignored.
    void Handle(const char* data, int count);

private:
    ChatWindow& window;
    ChatSender& sender;
};

/// The listener's receive callback: hands each node's bytes to the handler set
/// with SetIncomingHandler. Always returns 0, so the dispatcher goes on.
std::int32_t OnDatagram(PortConnection* node);

/// Sets (or, with null, clears) the handler that OnDatagram uses. The handler
/// must outlive the listener that calls OnDatagram.
void SetIncomingHandler(IncomingHandler* handler);

} // namespace kestrane
