#include "app/StartOptions.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

TEST(StartOptions, AutomationSwitchesHelpVersionQtAndUnknownOptionsAreToldApart) {
    using enum StartOptions::Request;
    // Arguments; what they ask; whether for an automation client; the unknown option.
    const std::tuple<std::vector<std::string>, StartOptions::Request, bool, std::string> rows[] = {
        {{}, Run, false, ""},
        {{"-Embedding"}, Run, true, ""},
        {{"/Automation"}, Run, true, ""},
        {{"notes", "x-Automationish"}, Run, true, ""},
        {{"--Embedding"}, Run, true, ""},
        {{"/embedding", "/tmp/Auto"}, Run, false, ""},
        {{"-automation"}, Unknown, false, "-automation"},
        {{"-Auto"}, Unknown, false, "-Auto"},
        {{"-platform", "xcb", "-style=fusion", "--reverse", "-display", "-x"}, Run, false, ""},
        {{"-Automation", "--bogus", "--help"}, Unknown, true, "--bogus"},
        {{"-h", "--bogus"}, Help, false, ""},
        {{"-Embedding", "--version"}, Version, true, ""}};
    for (const auto& [arguments, request, forAutomation, unknown] : rows) {
        const StartOptions options(arguments);
        SCOPED_TRACE(testing::PrintToString(arguments));
        EXPECT_EQ(options.GetRequest(), request);
        EXPECT_EQ(options.ForAutomation(), forAutomation);
        EXPECT_EQ(options.UnknownOption(), unknown);
    }
}

TEST(StartOptions, TheQuietSwitchesSayOnOrOffAndTheLastOneCounts) {
    // Arguments; Mute and Do not disturb as asked ("-": not asked), then what was asked.
    const std::tuple<std::vector<std::string>, std::string, StartOptions::Request> rows[] = {
        {{"-Automation"}, "--", StartOptions::Request::Run},
        {{"--mute", "--do-not-disturb"}, "11", StartOptions::Request::Run},
        {{"--mute", "--unmute", "--allow-notifications"}, "00", StartOptions::Request::Run},
        {{"--unmute", "--mute", "-mute"}, "1-", StartOptions::Request::Unknown}};
    const auto said = [](std::optional<bool> on) { return on ? (*on ? '1' : '0') : '-'; };
    for (const auto& [arguments, quiet, request] : rows) {
        const StartOptions options(arguments);
        SCOPED_TRACE(testing::PrintToString(arguments));
        const std::string asked{said(options.Muted()), said(options.DoNotDisturb())};
        EXPECT_EQ(asked, quiet);
        EXPECT_EQ(options.GetRequest(), request);
    }
}

TEST(StartOptions, SendTakesEveryArgumentAfterItAndRefusesWhatCannotBeHandedOver) {
    using enum StartOptions::Request;
    // Arguments; what they ask; for Send: to everybody, the host, the text.
    const std::tuple<std::vector<std::string>, StartOptions::Request, bool, std::string,
                     std::string>
        rows[] = {
            {{"--send", "pc-7", "hello", "", "there"}, Send, false, "pc-7", "hello  there"},
            {{"-platform", "xcb", "--send", "--broadcast", ""}, Send, true, "", ""},
            {{"--send", "10.0.0.7", "-h", "--version"}, Send, false, "10.0.0.7", "-h --version"},
            {{"--send", "pc", std::string(8183, 'a')}, Send, false, "pc", std::string(8183, 'a')},
            {{"--send", "pc", std::string(8184, 'a')}, BadSend, false, "", ""},
            {{"--help", "--send", "pc", "x"}, Help, false, "", ""},
            {{"--send"}, BadSend, false, "", ""},
            {{"--send", "pc-7"}, BadSend, false, "", ""},
            {{"--send", "--broadcast"}, BadSend, false, "", ""},
            {{"--send", "pc", "a\nb"}, BadSend, false, "", ""},
            {{"--send", "pc", "a\rb"}, BadSend, false, "", ""},
            {{"--send", "", "x"}, BadSend, false, "", ""},
            {{"--send", "*", "x"}, BadSend, false, "", ""},
            {{"--send", "-x", "hello"}, BadSend, false, "", ""}};
    for (const auto& [arguments, request, toEverybody, to, text] : rows) {
        const StartOptions options(arguments);
        SCOPED_TRACE(testing::PrintToString(arguments).substr(0, 60));
        ASSERT_EQ(options.GetRequest(), request);
        EXPECT_EQ(options.Complaint().empty(), request != BadSend);
        if (request == Send) {
            EXPECT_EQ(options.SendRequest().toEverybody, toEverybody);
            EXPECT_EQ(options.SendRequest().to, to);
            EXPECT_EQ(options.SendRequest().text, text);
        }
    }
}

TEST(StartOptions, HeadlessRunsAndHistoryTakesOnlyASinceTime) {
    using enum StartOptions::Request;
    // Arguments; what they ask; headless; the time --since gave.
    const std::tuple<std::vector<std::string>, StartOptions::Request, bool, std::string> rows[] = {
        {{"--headless"}, Run, true, ""},
        {{"--mute", "--headless", "-platform", "offscreen"}, Run, true, ""},
        {{"--history"}, History, false, ""},
        {{"--history", "--since", "7d"}, History, false, "7d"},
        {{"--history", "--since"}, BadHistory, false, ""},
        {{"--history", "--since", ""}, BadHistory, false, ""},
        {{"--history", "--since", "1h", "more"}, BadHistory, false, "1h"},
        {{"--history", "--headless"}, BadHistory, false, ""}};
    for (const auto& [arguments, request, headless, since] : rows) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const StartOptions options(arguments);
        ASSERT_EQ(options.GetRequest(), request);
        EXPECT_EQ(options.Headless(), headless);
        EXPECT_EQ(options.Since(), since);
        EXPECT_EQ(options.Complaint().empty(), request != BadHistory);
    }
}

} // namespace
} // namespace kestrane
