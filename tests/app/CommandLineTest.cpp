#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

TEST(CommandLineTest, OptionsAfterSlashOrDashAnywhereAreFoundAndRemoved) {
    CommandLine slash("/Embedding");
    EXPECT_TRUE(slash.FindOption("Embedding"));
    EXPECT_EQ(slash.Text(), "");
    CommandLine dash("file -Automation rest");
    EXPECT_FALSE(dash.FindOption("Embedding"));
    EXPECT_TRUE(dash.FindOption("Automation"));
    EXPECT_EQ(dash.Text(), "file  rest");
    EXPECT_FALSE(dash.FindOption("Automation"));
}

TEST(CommandLineTest, PrefixRuleAndCaseSensitivity) {
    CommandLine longer("-Automationish");
    EXPECT_TRUE(longer.FindOption("Automation"));
    EXPECT_EQ(longer.Text(), "ish");
    CommandLine lower("/embedding -automation");
    EXPECT_FALSE(lower.FindOption("Embedding"));
    EXPECT_FALSE(lower.FindOption("Automation"));
    CommandLine shorter("-Auto");
    EXPECT_FALSE(shorter.FindOption("Automation"));
    CommandLine firstOnly("-x /Embedding /Embedding");
    EXPECT_TRUE(firstOnly.FindOption("Embedding"));
    EXPECT_EQ(firstOnly.Text(), "-x  /Embedding");
}

TEST(CommandLineTest, ArgumentsAreJoinedWithSpaces) {
    char program[] = "kestrane";
    char first[] = "a";
    char second[] = "-Embedding";
    char* argv[] = {program, first, second, nullptr};
    CommandLine line(3, argv);
    EXPECT_EQ(line.Text(), "a -Embedding");
    EXPECT_TRUE(line.FindOption("Embedding"));
}

} // namespace
} // namespace kestrane
