#include "chat/ChatMessage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace kestrane {
namespace {

// Length of the C string in the first `limit` bytes, or `limit` when no NUL is there.
int BoundedLength(const char* bytes, int limit) {
    const auto* end = static_cast<const char*>(std::memchr(bytes, '\0', limit));
    return end != nullptr ? static_cast<int>(end - bytes) : limit;
}

} // namespace

ChatMessage::ChatMessage(const char* bytes, int count) {
    if (bytes == nullptr || count <= 0) {
        sender[0] = '\0';
        text[0] = '\0';
        return;
    }
    type = static_cast<std::uint8_t>(bytes[0]);
    ParseSender(bytes + 1, std::min(count - 1, CHAT_NAME_WIDTH));
    ParseText(bytes, count);
}

void ChatMessage::ParseSender(const char* field, int count) {
    const int length = BoundedLength(field, count);
    // Only the space character pads the field; a tab or other blank is kept.
    int start = 0;
    while (start < length && field[start] == ' ') {
        ++start;
    }
    std::copy(field + start, field + length, sender);
    sender[length - start] = '\0';
}

void ChatMessage::ParseText(const char* bytes, int count) {
    if (count <= CHAT_TEXT_OFFSET) {
        text[0] = '\0';
        return;
    }
    // The listener never hands over more than CHAT_MAX_DATAGRAM bytes; a caller that
    // does gets its text cut to fit rather than an overrun.
    const int limit = std::min(count - CHAT_TEXT_OFFSET, static_cast<int>(sizeof text) - 1);
    const char* start = bytes + CHAT_TEXT_OFFSET;
    const int length = BoundedLength(start, limit);
    std::copy(start, start + length, text);
    text[length] = '\0';
}

ChatAction ChatMessage::GetAction() const {
    switch (type) {
    case CHAT_HELLO:
        return ACTION_GREET;
    case CHAT_ONLINE:
        return ACTION_ADD_PEER;
    case CHAT_TEXT_ALT:
    case CHAT_TEXT:
        return ACTION_SHOW_TEXT;
    case CHAT_LEAVING:
        return ACTION_REMOVE_PEER;
    case CHAT_FILES:
        return ACTION_FILE_NOTICE;
    case CHAT_DELIVERY:
        return ACTION_DELIVERY_NOTICE;
    default:
        return ACTION_IGNORE;
    }
}

} // namespace kestrane
