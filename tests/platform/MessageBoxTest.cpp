#include "platform/MessageBox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrane {
namespace {

TEST(MessageBox, HookReceivesTextAndCaptionUntilRemoved) {
    std::vector<std::string> shown;
    MessageBoxHook previous =
        SetMessageBoxHook([&](const std::string& text, const std::string& caption) {
            shown.push_back(caption + "|" + text);
        });
    ShowMessageBox("IPORT Error.", "sendto");
    SetMessageBoxHook(previous);

    testing::internal::CaptureStderr();
    ShowMessageBox("CreateEvent failed.", "IPORT ERROR");
    std::string printed = testing::internal::GetCapturedStderr();

    EXPECT_EQ(shown, std::vector<std::string>{"sendto|IPORT Error."});
    EXPECT_EQ(printed, "IPORT ERROR: CreateEvent failed.\n");
}

} // namespace
} // namespace kestrane
