#include "tests/ui/MainWindowFixture.h"

#include <QComboBox>
#include <QTest>

namespace kestrane::test {
namespace {

using TrayStateTest = MainWindowFixture;

TEST_F(TrayStateTest, FirstShowAddsIconAndLeavesTheScreenWithoutSettingHidden) {
    dialog->show();
    EXPECT_TRUE(dialog->networkStarted);
    EXPECT_TRUE(dialog->trayIconAdded);
    EXPECT_TRUE(tray.IsAdded());
    EXPECT_EQ(tray.ShownIconId(), 128);
    EXPECT_EQ(tray.Icon().toolTip(), "Kestrane");
    ASSERT_EQ(dialog->roster->count(), 1);
    EXPECT_EQ(dialog->roster->currentText(), "<< Broadcast >>");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }));
    EXPECT_FALSE(dialog->hidden);
    // A second show starts nothing again.
    dialog->show();
    EXPECT_EQ(dialog->roster->count(), 1);
}

TEST_F(TrayStateTest, FirstTickHidesOnceAndAddsTheIconIfMissing) {
    dialog->unreadPending = true;
    dialog->OnTimer();
    EXPECT_FALSE(dialog->hideOnFirstTick);
    EXPECT_TRUE(dialog->hidden);
    EXPECT_FALSE(dialog->unreadPending);
    EXPECT_TRUE(dialog->trayIconAdded);
    EXPECT_TRUE(tray.IsAdded());
    // Later ticks do not hide again.
    dialog->hidden = false;
    dialog->OnTimer();
    EXPECT_FALSE(dialog->hidden);
}

TEST_F(TrayStateTest, BlinksOnlyWhileHiddenAndUnreadStartingWithTheNormalIcon) {
    SettleHidden();
    dialog->OnTimer();
    EXPECT_EQ(tray.ShownIconId(), 128);
    dialog->OnChatMessage(MakeMessage("PC2", "x\r\n"));
    std::vector<int> shown;
    for (int tick = 0; tick < 4; ++tick) {
        dialog->OnTimer();
        shown.push_back(tray.ShownIconId());
    }
    EXPECT_EQ(shown, (std::vector<int>{128, 134, 128, 134}));
    // Steadying leaves the phase alone: the next episode starts where this one stopped.
    dialog->HideToTray();
    EXPECT_EQ(tray.ShownIconId(), 128);
    dialog->OnChatMessage(MakeMessage("PC2", "y\r\n"));
    dialog->OnTimer();
    EXPECT_EQ(tray.ShownIconId(), 128);
    dialog->OnTimer();
    EXPECT_EQ(tray.ShownIconId(), 134);
}

TEST_F(TrayStateTest, IdleInTheTrayTheTimerSleepsUntilALineMakesTheIconBlink) {
    dialog->timer.start();
    dialog->OnTimer(); // the first tick hides
    EXPECT_FALSE(dialog->timer.isActive());
    dialog->OnChatMessage(MakeMessage("PC2", "x\r\n"));
    EXPECT_TRUE(dialog->timer.isActive());
    dialog->OnTimer();
    EXPECT_TRUE(dialog->timer.isActive()) << "it keeps ticking while the icon blinks";
    dialog->OnTrayNotify(QSystemTrayIcon::Trigger);
    dialog->OnTimer();
    EXPECT_FALSE(dialog->timer.isActive());
}

TEST_F(TrayStateTest, LeftClickBringsTheWindowBackAndClearsUnread) {
    SettleHidden();
    dialog->OnChatMessage(MakeMessage("PC2", "x\r\n"));
    dialog->OnTimer();
    dialog->OnTimer();
    ASSERT_EQ(tray.ShownIconId(), 134);
    emit tray.Icon().activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->hidden);
    EXPECT_FALSE(dialog->unreadPending);
    EXPECT_EQ(tray.ShownIconId(), 128);
}

TEST_F(TrayStateTest, RightClickWithEmptyQueueShowsAndLeavesUnreadAlone) {
    SettleHidden();
    dialog->unreadPending = true;
    emit tray.Icon().activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->hidden);
    EXPECT_TRUE(dialog->unreadPending);
    EXPECT_EQ(queue.current, -1);
    EXPECT_EQ(dialog->messageDialogRuns, 0);
}

TEST_F(TrayStateTest, ClicksOnAVisibleWindowOnlyBringItForward) {
    ShowPlainly();
    dialog->OnChatMessage(MakeMessage("PC2", "x\r\n"));
    emit tray.Icon().activated(QSystemTrayIcon::Context);
    EXPECT_EQ(dialog->messageDialogRuns, 0);
    EXPECT_TRUE(dialog->unreadPending);
    emit tray.Icon().activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(dialog->unreadPending);
    emit tray.Icon().activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(dialog->unreadPending);
    EXPECT_TRUE(dialog->isVisible());
}

using NoTrayTest = MainWindowFixture;

TEST_F(NoTrayTest, HidingMinimizesAndRestoringCountsAsTheClick) {
    tray.available = false;
    ShowPlainly();
    dialog->HideToTray();
    EXPECT_TRUE(dialog->isMinimized());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->hidden);
    dialog->OnChatMessage(MakeMessage("PC2", "x\r\n"));
    EXPECT_EQ(tones.Requests().size(), 1U);
    EXPECT_TRUE(dialog->unreadPending);
    dialog->showNormal();
    EXPECT_FALSE(dialog->hidden);
    EXPECT_FALSE(dialog->unreadPending);
}

TEST_F(NoTrayTest, ATrayThatAppearsLaterIsUsed) {
    tray.available = false;
    ShowPlainly();
    dialog->HideToTray();
    EXPECT_TRUE(dialog->isMinimized());
    tray.available = true;
    emit tray.Icon().activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(dialog->isMinimized());
    dialog->HideToTray();
    EXPECT_FALSE(dialog->isVisible());
}

} // namespace
} // namespace kestrane::test
