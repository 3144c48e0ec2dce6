#include "chat/ScriptedSend.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

using Outcome = ScriptedSend::Outcome;

TEST(ScriptedSend, RequestsParseOnlyWhenWellFormedAndComposeBack) {
    using namespace std::string_literals;
    const std::string longest = "SEND\tpc\t" + std::string(8183, 'a') + "\n";
    // The line; whether it is a request; to everybody; to; text.
    const std::tuple<std::string, bool, bool, std::string, std::string> rows[] = {
        {"SEND\tpc-7\thello there\n", true, false, "pc-7", "hello there"},
        {"SEND\t*\t\n", true, true, "", ""},
        {"SEND\t10.0.0.7\ta\tb \xc3\xa9\n", true, false, "10.0.0.7", "a\tb \xc3\xa9"},
        {longest, true, false, "pc", longest.substr(8, 8183)},
        {"SEND\tpc\t" + std::string(8184, 'a') + "\n", false, false, "", ""},
        {"SEND\tpc\thi", false, false, "", ""},
        {"SEND pc hi\n", false, false, "", ""},
        {"SEND\tpc hi\n", false, false, "", ""},
        {"SEND\t\thi\n", false, false, "", ""},
        {"send\tpc\thi\n", false, false, "", ""},
        {"DROP\tpc\thi\n", false, false, "", ""},
        {"SEND\tpc\thi\r\n", false, false, "", ""},
        {"SEND\tpc\x1b\thi\n", false, false, "", ""},
        {"SEND\tpc\tnul\0x\n"s, false, false, "", ""},
        {"SEND\tpc\thi\nSEND\tq\tx\n", false, false, "", ""},
        {"SEND\t" + std::string(256, 'h') + "\thi\n", false, false, "", ""}};
    for (const auto& [line, isRequest, toEverybody, to, text] : rows) {
        SCOPED_TRACE(testing::PrintToString(line.substr(0, 40)));
        const auto request = ScriptedSend::ParseRequest(line);
        ASSERT_EQ(request.has_value(), isRequest);
        if (request) {
            EXPECT_EQ(request->toEverybody, toEverybody);
            EXPECT_EQ(request->to, to);
            EXPECT_EQ(request->text, text);
            EXPECT_EQ(request->ComposeRequest(), line);
        }
    }
}

TEST(ScriptedSend, RepliesAreOneShortLineOfAKnownOutcome) {
    // The outcome; the message it is composed with; the message read back; the exit status.
    const std::tuple<Outcome, std::string, std::string, int> outcomes[] = {
        {Outcome::Delivered, "to pc-7", "to pc-7", 0},
        {Outcome::NoReceipts, "pc-7\r\nhas\x1b[2J\tno", "pc-7  has [2J\tno", 0},
        {Outcome::NotDelivered, "", "", 1},
        // Cut to fit, but not inside the two bytes of the last letter.
        {Outcome::Refused, std::string(1014, 'x') + "\xc3\xa9", std::string(1014, 'x'), 2}};
    for (const auto& [outcome, message, readBack, status] : outcomes) {
        SCOPED_TRACE(static_cast<int>(outcome));
        const auto reply = ScriptedSend::ParseReply(ScriptedSend::ComposeReply(outcome, message));
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->first, outcome);
        EXPECT_EQ(reply->second, readBack);
        EXPECT_EQ(ScriptedSend::ExitStatus(outcome), status);
    }
    const std::string bad[] = {"DELIVERED to pc\n", "MAYBE\tx\n", "DELIVERED\tx",
                               "DELIVERED\t" + std::string(1014, 'x') + "\n"};
    for (const std::string& line : bad) {
        EXPECT_FALSE(ScriptedSend::ParseReply(line).has_value()) << line.substr(0, 20);
    }
}

} // namespace
} // namespace kestrane
