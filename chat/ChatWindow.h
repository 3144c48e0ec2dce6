#pragma once

#include "chat/SecureChannel.h"

#include <string>

namespace kestrane {

class ChatMessage;

/// What the incoming handler needs of the main window. The window layer
/// implements it by running each call on the UI thread, in the order made; once
/// the window is gone, each call returns at once and does nothing.
class ChatWindow {
public:
    virtual ~ChatWindow() = default;

    /// Lists `name` unless the roster already holds it (whole name, any case),
    /// and notes that it spoke from `address` (dotted IPv4; empty when unknown).
    virtual void AddPeer(const std::string& name, const std::string& address) = 0;
    /// Removes the roster entry that is `name` (whole name, any case), if any.
    virtual void RemovePeer(const std::string& name) = 0;
    /// Logs, queues and signals a line from another host, which came from
    /// `address`. `message` is valid only during the call; an implementation
    /// that acts later copies it.
    virtual void ShowText(const ChatMessage& message, const std::string& address) = 0;
    /// Hands on a file-transfer notice from another host, which came from
    /// `address`; copied, as ShowText's message is.
    virtual void ShowFileNotice(const ChatMessage& message, const std::string& address) = 0;
    /// Hands on a receipts-and-presence notice from another host, which came
    /// from `address`; copied, as ShowText's message is.
    virtual void ShowDeliveryNotice(const ChatMessage& message, const std::string& address) = 0;
    /// Another host said hello (after AddPeer for it), from `address`.
    virtual void HelloHeard(const std::string& name, const std::string& address) = 0;
    /// Lines from the network are being dropped unseen: called when the
    /// handler's count of them leaves zero. The window reports them, soon and
    /// without waiting for another line, taking the count from the handler
    /// (IncomingHandler::TakeDroppedLines).
    virtual void LinesDropped() = 0;
    /// A DELIVERY/2 session came up: `up` names the key and the name it
    /// proved. Decorators that do not care about sessions may leave it out.
    virtual void SecureSessionUp(const SecureChannel::SessionUp& up) { (void)up; }
    /// A DELIVERY/2 datagram from `address` opened `opened` on one of the
    /// sessions: an inner notice, or nothing (a keepalive or confirmation).
    virtual void SecureOpened(const std::string& address, const SecureChannel::Opened& opened) {
        (void)address;
        (void)opened;
    }
};

} // namespace kestrane
