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

} // namespace
} // namespace kestrane
