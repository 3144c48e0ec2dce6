#include "chat/chat.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>

namespace kestrane {
namespace {

// Parses from a heap block of exactly the datagram's size, with no terminator after
// it, so that AddressSanitizer catches any read past the count.
std::unique_ptr<ChatMessage> Parse(const std::string& datagram) {
    auto bytes = std::make_unique<char[]>(datagram.size());
    datagram.copy(bytes.get(), datagram.size());
    return std::make_unique<ChatMessage>(bytes.get(), static_cast<int>(datagram.size()));
}

std::string Datagram(std::string_view name, std::string_view text) {
    std::string buffer(CHAT_MAX_DATAGRAM, '\0');
    const int length = ComposeText(std::span<char>(buffer), name, text);
    return buffer.substr(0, static_cast<std::size_t>(length));
}

TEST(ChatMessageTest, ParsesComposedDatagrams) {
    auto message = Parse(Datagram("PC7", "hello\r\n"));
    EXPECT_EQ(message->type, CHAT_TEXT);
    EXPECT_STREQ(message->sender, "PC7");
    EXPECT_STREQ(message->GetText(), "hello\r\n");

    message = Parse(Datagram("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "hi"));
    EXPECT_STREQ(message->sender, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_STREQ(message->GetText(), "hi");

    // An over-long name is split at the fixed offset.
    message = Parse(Datagram("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789WXYZ", "hi"));
    EXPECT_STREQ(message->sender, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_STREQ(message->GetText(), "6789WXYZhi");
}

TEST(ChatMessageTest, TrimsOnlyLeadingSpacesOfTheName) {
    EXPECT_STREQ(Parse(Datagram("", "x"))->sender, "");
    EXPECT_STREQ(Parse(Datagram("\tPC7", "x"))->sender, "\tPC7");
    auto message = Parse("\x04" + std::string(28, ' ') + "PC7 " + "x");
    EXPECT_STREQ(message->sender, "PC7 ");
    EXPECT_STREQ(message->GetText(), "x");
}

TEST(ChatMessageTest, NulEndsNameAndTextButNotTheLayout) {
    std::string datagram = Datagram("PC7", "ab");
    datagram[31] = '\0'; // inside the name: "PC7" becomes "P"
    datagram += std::string("\0cd", 3);
    auto message = Parse(datagram);
    EXPECT_STREQ(message->sender, "P");
    EXPECT_STREQ(message->GetText(), "ab");
}

TEST(ChatMessageTest, KeepsTheLargestDatagramWholeAndCutsAnythingLarger) {
    const std::string largest(CHAT_MAX_DATAGRAM - CHAT_TEXT_OFFSET, 'x');
    EXPECT_EQ(std::string(Parse(Datagram("PC7", largest))->GetText()), largest);

    const std::string oversize = Datagram("PC7", "") + std::string(5000, 'y');
    EXPECT_EQ(std::string(Parse(oversize)->GetText()), std::string(CHAT_MAX_DATAGRAM - 1, 'y'));
}

TEST(ChatMessageTest, ShortDatagramsGiveWhatTheyHold) {
    const std::string full = Datagram("PC7", "t");
    const std::pair<std::size_t, const char*> cases[] = {
        {0, ""}, {1, ""}, {20, ""}, {32, "PC"}, {33, "PC7"}};
    for (const auto& [count, sender] : cases) {
        auto message = Parse(full.substr(0, count));
        EXPECT_EQ(message->type, count > 0 ? CHAT_TEXT : 0) << count;
        EXPECT_STREQ(message->sender, sender) << count;
        EXPECT_STREQ(message->GetText(), "") << count;
    }
    ChatMessage empty(nullptr, 0);
    EXPECT_EQ(empty.type, 0);
    EXPECT_STREQ(empty.sender, "");
    EXPECT_STREQ(empty.GetText(), "");
}

TEST(ChatMessageTest, ClassifiesEveryTypeCode) {
    for (int code = 0; code < 256; ++code) {
        const char byte = static_cast<char>(code);
        const ChatMessage message(&byte, 1);
        ASSERT_EQ(message.type, code);
        ChatAction expected = ACTION_IGNORE;
        if (code == 1) {
            expected = ACTION_GREET;
        } else if (code == 2) {
            expected = ACTION_ADD_PEER;
        } else if (code == 3 || code == 4) {
            expected = ACTION_SHOW_TEXT;
        } else if (code == 7) {
            expected = ACTION_REMOVE_PEER;
        }
        EXPECT_EQ(message.GetAction(), expected) << code;
    }
}

} // namespace
} // namespace kestrane
