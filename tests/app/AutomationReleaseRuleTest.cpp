#include "app/AutomationReleaseRule.h"

#include "core/threads/UiBridge.h"
#include "core/unread/MessageQueue.h"
#include "port/PortLibrary.h"
#include "tests/support/Fakes.h"
#include "ui/CTavrinDlg.h"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

namespace kestrane {
namespace {

TEST(AutomationReleaseRule, TheLastReleaseEndsAStartForAutomationUnlessADialogIsOpen) {
    // Started by the user, About box open, window enabled; window destroyed. Each release
    // leaves the user in control.
    const std::tuple<bool, bool, bool, bool> rows[] = {{true, false, true, false},
                                                       {false, false, true, true},
                                                       {false, true, true, false},
                                                       {false, false, false, false}};
    for (const auto& [byUser, aboutOpen, enabled, destroyed] : rows) {
        SCOPED_TRACE(testing::Message() << byUser << aboutOpen << enabled);
        PortStartup(); // the window's destructor cleans up once
        MessageQueue queue;
        test::RecordingToneSink tones;
        test::FakeTray tray;
        UiBridge bridge;
        CTavrinDlg window(
            CTavrinDlg::Services{queue, tones, tray, bridge, nullptr, {}, {}, {}, {}});
        window.setEnabled(enabled);
        bool userControl = byUser;
        if (aboutOpen) {
            QTimer::singleShot(0, [&] {
                ApplyReleaseRule(userControl, &window);
                QApplication::activeModalWidget()->close();
            });
            window.OnSysCommand(CTavrinDlg::IDM_ABOUTBOX);
        } else {
            ApplyReleaseRule(userControl, &window);
        }
        EXPECT_TRUE(userControl);
        EXPECT_EQ(window.IsWindowDestroyed(), destroyed);
    }
}

} // namespace
} // namespace kestrane
