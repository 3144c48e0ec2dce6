#pragma once

#include "port/PortTypes.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrane {

// Wire layout of one chat datagram: the type code, the sender's name right-aligned
// in a 32-character field padded with spaces, then the text up to the end of the
// datagram. Nothing is terminated on the wire and there is no length field.

/// UDP port on which every copy sends and receives.
inline constexpr int CHAT_PORT = 9000;

/// Width of the sender name field; a longer name widens the field when composed.
inline constexpr int CHAT_NAME_WIDTH = 32;
/// Offset of the text, where receivers always split.
inline constexpr int CHAT_TEXT_OFFSET = 1 + CHAT_NAME_WIDTH;
/// Largest datagram a receiver accepts.
inline constexpr int CHAT_MAX_DATAGRAM = PORT_BUFFER_SIZE;

/// Type codes. The original chat sends 1, 2, 4 and 7 and ignores every other.
inline constexpr std::uint8_t CHAT_HELLO = 1;
inline constexpr std::uint8_t CHAT_ONLINE = 2;
inline constexpr std::uint8_t CHAT_TEXT_ALT = 3; // never sent; shown like CHAT_TEXT
inline constexpr std::uint8_t CHAT_TEXT = 4;
inline constexpr std::uint8_t CHAT_LEAVING = 7;
/// A file-transfer notice: the first code above those of the original chat,
/// which ignores it (the text's format is in files/FileNotice.h).
inline constexpr std::uint8_t CHAT_FILES = 8;
/// Receipts and presence between Kestrane hosts (chat/DeliveryNotice.h), sent
/// only to hosts that have sent one.
inline constexpr std::uint8_t CHAT_DELIVERY = 9;

/// Fixed texts. Receivers never read them, but peers send exactly these, spelling
/// included.
inline constexpr std::string_view CHAT_HELLO_TEXT = "ILIVE";
inline constexpr std::string_view CHAT_ONLINE_TEXT = "*** Online ***\r\n";
inline constexpr std::string_view CHAT_LEAVING_TEXT = "***Leaveing channel";

// Composition. Each function writes the datagram that the printf-style format
// "%c%32s%s" gives for (type, name, text), without a terminator, into `buffer`.
// `name` and `text` end at their first NUL, as a C string would. A name longer than
// 32 characters is written whole. The result is the datagram's length, or -1 when it
// would not fit in `buffer`; then nothing is written. Safe on any thread.

int ComposeDatagram(std::span<char> buffer, std::uint8_t type, std::string_view name,
                    std::string_view text);
/// CHAT_HELLO with CHAT_HELLO_TEXT.
int ComposeHello(std::span<char> buffer, std::string_view name);
/// CHAT_ONLINE with CHAT_ONLINE_TEXT: the answer to a hello.
int ComposeOnline(std::span<char> buffer, std::string_view name);
/// CHAT_TEXT with the user's line, which carries its own CR LF.
int ComposeText(std::span<char> buffer, std::string_view name, std::string_view text);
/// CHAT_LEAVING with CHAT_LEAVING_TEXT.
int ComposeLeaving(std::span<char> buffer, std::string_view name);

} // namespace kestrane
