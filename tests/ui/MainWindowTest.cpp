#include "tests/ui/MainWindowFixture.h"
#include "ui/AutoProxyLink.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <utility>

namespace kestrane::test {
namespace {

std::vector<std::pair<int, int>> Flatten(const std::vector<std::vector<Tone>>& requests) {
    std::vector<std::pair<int, int>> tones;
    for (const auto& request : requests) {
        for (const Tone& tone : request) {
            tones.emplace_back(tone.frequency, tone.milliseconds);
        }
    }
    return tones;
}

QLineEdit* MessageLine(CTavrinDlg& dialog) {
    return dialog.findChild<QLineEdit*>("1001");
}
QPlainTextEdit* LogView(CTavrinDlg& dialog) {
    return dialog.findChild<QPlainTextEdit*>("1000");
}

class FakeAutoProxy : public AutoProxyLink {
public:
    void DetachDialog() override { ++detachCount; }
    int detachCount = 0;
};

using IncomingTextTest = MainWindowFixture;

TEST_F(IncomingTextTest, VisibleWindowLogsAndQueuesWithoutTones) {
    dialog->ownName = "PC1";
    dialog->OnChatMessage(MakeMessage("PC2", "hello\r\n"));
    EXPECT_EQ(dialog->logText.Text(), "PC2 : hello\r\n");
    EXPECT_EQ(LogView(*dialog)->toPlainText(), "PC2 : hello\n");
    ASSERT_EQ(queue.Size(), 1);
    EXPECT_EQ(queue.entries[0].GetSender(), "PC2");
    EXPECT_EQ(queue.entries[0].GetText(), ">hello\r\n");
    EXPECT_EQ(queue.current, -1);
    EXPECT_TRUE(dialog->unreadPending);
    EXPECT_TRUE(tones.Requests().empty());
}

TEST_F(IncomingTextTest, DroppedLinesAreNotedInTheLogOnly) {
    MessageLine(*dialog)->setText("half typed");
    dialog->ShowDroppedLines(1);
    dialog->ShowDroppedLines(4000);
    EXPECT_EQ(
        LogView(*dialog)->toPlainText(),
        "*** 1 incoming line was dropped: lines came faster than they can be shown ***\n"
        "*** 4000 incoming lines were dropped: lines came faster than they can be shown ***\n");
    EXPECT_EQ(MessageLine(*dialog)->text(), "half typed");
    EXPECT_EQ(queue.Size(), 0);
    EXPECT_FALSE(dialog->unreadPending);
}

TEST_F(IncomingTextTest, HiddenWindowChimesOncePerLine) {
    SettleHidden();
    dialog->OnChatMessage(MakeMessage("PC2", "one\r\n"));
    dialog->OnChatMessage(MakeMessage("PC3", "two\r\n"));
    const std::vector<std::pair<int, int>> chime{{300, 100}, {500, 100}, {800, 100}};
    auto twice = chime;
    twice.insert(twice.end(), chime.begin(), chime.end());
    EXPECT_EQ(tones.Requests().size(), 2U);
    EXPECT_EQ(Flatten(tones.Requests()), twice);
    EXPECT_TRUE(dialog->unreadPending);
    EXPECT_EQ(queue.Size(), 2);
}

TEST_F(IncomingTextTest, OwnLinesAreLoggedButNeitherQueuedNorSignalled) {
    SettleHidden();
    dialog->OnChatMessage(MakeMessage("PC1", "me\r\n"));
    EXPECT_EQ(dialog->logText.Text(), "PC1 : me\r\n");
    EXPECT_EQ(queue.Size(), 0);
    EXPECT_FALSE(dialog->unreadPending);
    EXPECT_TRUE(tones.Requests().empty());
    // The comparison with the own name is exact.
    dialog->OnChatMessage(MakeMessage("pc1", "other\r\n"));
    EXPECT_EQ(queue.Size(), 1);
}

TEST_F(IncomingTextTest, HalfTypedLineSurvivesAndLogKeepsGrowing) {
    ShowPlainly();
    QTest::keyClicks(MessageLine(*dialog), "half a li");
    dialog->OnChatMessage(MakeMessage("PC2", "a\r\n"));
    dialog->OnChatMessage(MakeMessage("PC2", "b\r\n"));
    EXPECT_EQ(MessageLine(*dialog)->text(), "half a li");
    EXPECT_EQ(MessageLine(*dialog)->cursorPosition(), 9);
    EXPECT_EQ(LogView(*dialog)->toPlainText(), "PC2 : a\nPC2 : b\n");
}

TEST_F(IncomingTextTest, NetworkTextIsPlainAndDecoded) {
    dialog->OnChatMessage(MakeMessage("PC2", "<b>caf\xe9</b>\r\n"));
    EXPECT_EQ(queue.entries[0].GetText(), QString::fromUtf8(">"
                                                            "<b>caf\u00e9</b>\r\n"));
    EXPECT_EQ(LogView(*dialog)->toPlainText(), QString::fromUtf8("PC2 : <b>caf\u00e9</b>\n"));
}

TEST_F(IncomingTextTest, DeliveryFromAnotherThreadRunsOnTheUiThread) {
    const ChatMessage message = MakeMessage("PC2", "from afar\r\n");
    bool delivered = false;
    std::thread dispatcher([&] { delivered = dialog->DeliverChatMessage(message, "10.0.0.2"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return queue.Size() == 1; }));
    dispatcher.join();
    EXPECT_TRUE(delivered);
    dialog->DestroyWindow();
    std::thread late([&] { delivered = dialog->DeliverChatMessage(message, "10.0.0.2"); });
    late.join();
    EXPECT_FALSE(delivered);
    EXPECT_EQ(queue.Size(), 1);
}

using KeyboardTest = MainWindowFixture;

TEST_F(KeyboardTest, EscapeHidesFromAnyControlAndNeverEndsTheDialog) {
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    for (const char* id : {"1001", "1002", "1000", "7"}) {
        ShowPlainly();
        dialog->hidden = false;
        dialog->unreadPending = true;
        auto* control = dialog->findChild<QWidget*>(id);
        QTest::keyClick(control, Qt::Key_Escape);
        EXPECT_TRUE(dialog->hidden) << id;
        EXPECT_FALSE(dialog->unreadPending) << id;
        EXPECT_FALSE(dialog->isVisible()) << id;
    }
    EXPECT_EQ(finished.count(), 0);
    EXPECT_FALSE(dialog->IsWindowDestroyed());
}

TEST_F(KeyboardTest, EnterInTheMessageLineSendsOnce) {
    ShowPlainly();
    dialog->roster->addItem("<< Broadcast >>");
    dialog->roster->setCurrentIndex(0);
    MessageLine(*dialog)->setFocus();
    QTest::keyClicks(MessageLine(*dialog), "hi all");
    QTest::keyClick(MessageLine(*dialog), Qt::Key_Return);
    EXPECT_EQ(dialog->sendCount, 1);
    EXPECT_EQ(dialog->lastLine, "hi all\r\n");
    EXPECT_EQ(dialog->logText.Text(), "Sent BROADCAST message : hi all\r\n");
    EXPECT_TRUE(MessageLine(*dialog)->text().isEmpty());
}

TEST_F(KeyboardTest, FailedSendKeepsTheTypedLineAndLogsItAsNotSent) {
    ShowPlainly();
    dialog->roster->addItem("<< Broadcast >>");
    dialog->roster->setCurrentIndex(0);
    dialog->sendResult = SendResult::Failed;
    MessageLine(*dialog)->setText("not yet");
    dialog->findChild<QPushButton*>("6")->click();
    EXPECT_EQ(dialog->sendCount, 1);
    EXPECT_EQ(MessageLine(*dialog)->text(), "not yet");
    EXPECT_EQ(dialog->logText.Text(), "Not sent BROADCAST message : not yet\r\n");
}

using ClosingTest = MainWindowFixture;

TEST_F(ClosingTest, CloseWithoutAutomationEndsTheDialogAndDestroysOnce) {
    tray.available = true;
    dialog->trayIconAdded = true;
    TrayAdd(tray);
    ShowPlainly();
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    dialog->close();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(dialog->IsWindowDestroyed());
    EXPECT_FALSE(tray.IsAdded());
    EXPECT_TRUE(bridge.IsClosed());
}

TEST_F(ClosingTest, CloseWithAutomationOnlyHidesAndKeepsFlags) {
    FakeAutoProxy proxy;
    dialog->autoProxy = &proxy;
    ShowPlainly();
    dialog->hidden = false;
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    dialog->close();
    dialog->reject();
    EXPECT_EQ(finished.count(), 0);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->hidden);
    EXPECT_FALSE(dialog->IsWindowDestroyed());
    dialog.reset();
    EXPECT_EQ(proxy.detachCount, 1);
}

TEST_F(ClosingTest, EndSessionEndsEvenWithAutomationAndARunningAboutBox) {
    FakeAutoProxy proxy;
    dialog->autoProxy = &proxy;
    ShowPlainly();
    QTimer::singleShot(0, dialog.get(), [this] { dialog->OnSysCommand(CTavrinDlg::IDM_ABOUTBOX); });
    QTimer::singleShot(50, dialog.get(), [this] { dialog->EndSession(); });
    const int result = dialog->DoModal();
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_TRUE(dialog->IsWindowDestroyed());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    dialog->autoProxy = nullptr;
}

using MenuTest = MainWindowFixture;

TEST_F(MenuTest, SystemCommandsSixteenToThirtyOneOpenAbout) {
    for (const unsigned id : {16U, 31U, 0xF060U}) {
        bool aboutShown = false;
        QTimer::singleShot(0, [&] {
            if (auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                aboutShown = about->windowTitle() == "About Kestrane";
                about->reject();
            }
        });
        dialog->OnSysCommand(id);
        QApplication::processEvents();
        EXPECT_EQ(aboutShown, id != 0xF060U) << id;
    }
}

TEST_F(MenuTest, HelpOpensTheLocalManualPage) {
    dialog->findChild<QPushButton*>("57670")->click();
    ASSERT_EQ(openedUrls.size(), 1U);
    EXPECT_TRUE(openedUrls[0].isLocalFile());
    EXPECT_TRUE(openedUrls[0].toLocalFile().endsWith("kestrane.html"));
}

} // namespace
} // namespace kestrane::test
