#pragma once

#include "chat/ChatAction.h"
#include "chat/ChatDatagram.h"

#include <cstdint>

namespace kestrane {

/// The parsed form of one received datagram. Owns nothing beyond its own arrays.
///
/// Made and destroyed by the incoming handler on the dispatcher thread; the main
/// window reads it only while the handler waits for it.
class ChatMessage {
public:
    /// Parses `count` bytes. Accepts any content and never reads past `count`, so
    /// the bytes need no terminator; `bytes` may be null when `count` is 0.
    ChatMessage(const char* bytes, int count);
    virtual ~ChatMessage() = default;

    /// The text, NUL-terminated; empty for a datagram too short to have one.
    const char* GetText() const { return text; }
    ChatAction GetAction() const;

    // Fields, in the order of the design.
    std::uint8_t type = 0;
    /// Bytes from CHAT_TEXT_OFFSET up to the first NUL, NUL-terminated.
    char text[CHAT_MAX_DATAGRAM];
    /// At most CHAT_NAME_WIDTH characters, leading spaces removed, NUL-terminated.
    char sender[256];
    /// Not of the datagram: it was sent to this host alone, not to everybody.
    bool toThisHost = false;

private:
    void ParseSender(const char* field, int count);
    void ParseText(const char* bytes, int count);
};

} // namespace kestrane
