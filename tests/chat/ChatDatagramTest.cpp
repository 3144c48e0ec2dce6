#include "chat/chat.h"

#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace kestrane {
namespace {

constexpr std::string_view NAME_32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
constexpr std::string_view NAME_40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789WXYZ";

// A datagram as a string, or "<refused>" when the composer returned -1.
template <typename Composer> std::string Composed(Composer compose) {
    std::string buffer(CHAT_MAX_DATAGRAM, '\xAA');
    const int length = compose(std::span<char>(buffer));
    return length < 0 ? "<refused>" : buffer.substr(0, static_cast<std::size_t>(length));
}

std::string Padded(std::string_view name) {
    return std::string(name.size() < 32 ? 32 - name.size() : 0, ' ') + std::string(name);
}

TEST(ChatDatagramTest, ComposesEachKindByteForByte) {
    const std::string field = std::string(29, ' ') + "PC7";
    const std::string hello = Composed([](auto b) { return ComposeHello(b, "PC7"); });
    EXPECT_EQ(hello, std::string("\x01") + field + "ILIVE");
    EXPECT_EQ(hello.size(), 38u);

    const std::string online = Composed([](auto b) { return ComposeOnline(b, "PC7"); });
    EXPECT_EQ(online, std::string("\x02") + field + "*** Online ***\r\n");
    EXPECT_EQ(online.size(), 49u);

    const std::string leaving = Composed([](auto b) { return ComposeLeaving(b, "PC7"); });
    EXPECT_EQ(leaving, std::string("\x07") + field + "***Leaveing channel");
    EXPECT_EQ(leaving.size(), 52u);

    const std::string text = Composed([](auto b) { return ComposeText(b, "PC7", "hi\r\n"); });
    EXPECT_EQ(text, std::string("\x04") + field + "hi\r\n");
    EXPECT_EQ(Composed([](auto b) { return ComposeText(b, "PC7", ""); }).size(), 33u);
}

TEST(ChatDatagramTest, MatchesPrintfFormatForAnyNameLength) {
    for (std::string_view name :
         {std::string_view(""), std::string_view("PC-7.LAN"), NAME_32, NAME_40}) {
        char expected[256];
        const int length = std::snprintf(expected, sizeof expected, "%c%32s%s", 4,
                                         std::string(name).c_str(), "x\r\n");
        EXPECT_EQ(Composed([&](auto b) { return ComposeText(b, name, "x\r\n"); }),
                  std::string(expected, static_cast<std::size_t>(length)))
            << name;
    }
    // The 32-character name fills the field; the 40-character one widens it.
    EXPECT_EQ(Composed([](auto b) { return ComposeHello(b, NAME_32); }),
              "\x01" + std::string(NAME_32) + "ILIVE");
    EXPECT_EQ(Composed([](auto b) { return ComposeHello(b, NAME_40); }),
              "\x01" + std::string(NAME_40) + "ILIVE");
}

TEST(ChatDatagramTest, StopsNameAndTextAtNulLikeACString) {
    const std::string name("PC7\0XY", 6);
    const std::string text("ab\0cd", 5);
    EXPECT_EQ(Composed([&](auto b) { return ComposeText(b, name, text); }),
              std::string("\x04") + Padded("PC7") + "ab");
    // Type 0 is still written as a byte.
    EXPECT_EQ(Composed([](auto b) { return ComposeDatagram(b, 0, "A", ""); }),
              std::string(1, '\0') + Padded("A"));
}

TEST(ChatDatagramTest, RefusesWhatDoesNotFitAndWritesNothing) {
    const std::string line(CHAT_MAX_DATAGRAM - CHAT_TEXT_OFFSET, 'x');
    EXPECT_EQ(Composed([&](auto b) { return ComposeText(b, "PC7", line); }).size(),
              static_cast<std::size_t>(CHAT_MAX_DATAGRAM));

    std::array<char, 39> buffer;
    buffer.fill('\xAA');
    EXPECT_EQ(ComposeHello(std::span(buffer).first(38), "PC7"), 38);
    EXPECT_EQ(buffer[38], '\xAA') << "no terminator is written";

    buffer.fill('\xAA');
    EXPECT_EQ(ComposeHello(std::span(buffer).first(37), "PC7"), -1);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(39, '\xAA'));
    EXPECT_EQ(ComposeText(std::span<char>(), "", ""), -1);
}

} // namespace
} // namespace kestrane
