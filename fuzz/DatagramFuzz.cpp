// Parse and classification of one received datagram, from a heap block of
// exactly the input's size, so AddressSanitizer sees any read past the count.
#include "chat/DeliveryNotice.h"
#include "chat/chat.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrane;
    const int count = static_cast<int>(size);
    auto bytes = std::make_unique<char[]>(size);
    std::memcpy(bytes.get(), data, size);
    auto message = std::make_unique<ChatMessage>(size > 0 ? bytes.get() : nullptr, count);

    const std::size_t senderLength = std::strlen(message->sender);
    Check(senderLength <= CHAT_NAME_WIDTH);
    Check(senderLength == 0 || message->sender[0] != ' ');
    const std::size_t textLength = std::strlen(message->GetText());
    Check(textLength < sizeof message->text);
    Check(count > CHAT_TEXT_OFFSET || textLength == 0);
    Check(textLength == 0 ||
          std::memcmp(message->GetText(), data + CHAT_TEXT_OFFSET, textLength) == 0);

    const ChatAction action = message->GetAction();
    const bool shown = message->type == CHAT_TEXT || message->type == CHAT_TEXT_ALT;
    Check(shown == (action == ACTION_SHOW_TEXT));
    Check((action == ACTION_FILE_NOTICE) == (message->type == CHAT_FILES));
    Check((action == ACTION_IGNORE) ==
          (message->type != CHAT_HELLO && message->type != CHAT_ONLINE && !shown &&
           message->type != CHAT_LEAVING && message->type != CHAT_FILES));

    // A receipts notice is read from the datagram's bytes as they are, NULs included.
    if (count > CHAT_TEXT_OFFSET) {
        const std::string_view text(bytes.get() + CHAT_TEXT_OFFSET, size - CHAT_TEXT_OFFSET);
        if (const auto notice = DeliveryNotice::Parse(text)) {
            const auto again = DeliveryNotice::Parse(notice->Compose());
            Check(again && again->Compose() == notice->Compose());
            Check(notice->id.empty() || IsDeliveryId(notice->id));
        }
    }
    return 0;
}
