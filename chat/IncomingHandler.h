#pragma once

#include "chat/EchoFilter.h"
#include "chat/HelloAnswerBudget.h"
#include "chat/LineBudget.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

namespace kestrane {

class ChatSender;
class ChatWindow;
class PortConnection;
class SecureLink;

/// Acts on each received datagram: answers hellos within `answers`, keeps the
/// roster and hands text from other hosts to the main window. Lines beyond
/// `budget` are dropped before the window sees them, sender and all; the window
/// is told when drops begin and takes their count when it reports them. Handle
/// runs on the listener's dispatcher thread. Does not own the window or the sender.
class IncomingHandler {
public:
    IncomingHandler(ChatWindow& window, ChatSender& sender, LineBudget budget = LineBudget(),
                    HelloAnswerBudget answers = HelloAnswerBudget());

    /// Handles one reception of `count` bytes that came from `address` (dotted
    /// IPv4, or empty when unknown); null data is ignored.
    void Handle(const char* data, int count, const std::string& address = {},
                bool toThisHost = false);

    /// The lines dropped since the last call; each drop is counted by one call
    /// only. Safe to call from any thread.
    std::uint64_t TakeDroppedLines() { return droppedLines.exchange(0); }

    /// From now on DELIVERY/2 datagrams go to `link` (null: they are dropped,
    /// as before the own name and key are known). The link must outlive the
    /// handler's use by the dispatcher. Safe to call from any thread.
    void SetSecureLink(SecureLink* link) { secureLink.store(link); }

private:
    void HandleSecure(std::span<const std::uint8_t> datagram, const std::string& address);

    ChatWindow& window;
    ChatSender& sender;
    LineBudget lineBudget;
    HelloAnswerBudget helloAnswers;
    EchoFilter copies;
    std::atomic<std::uint64_t> droppedLines{0};
    std::atomic<SecureLink*> secureLink{nullptr};
};

/// The listener's receive callback: hands each node's bytes to the handler set
/// with SetIncomingHandler. Always returns 0, so the dispatcher goes on.
std::int32_t OnDatagram(PortConnection* node);

/// Sets (or, with null, clears) the handler that OnDatagram uses. The handler
/// must outlive the listener that calls OnDatagram.
void SetIncomingHandler(IncomingHandler* handler);

} // namespace kestrane
