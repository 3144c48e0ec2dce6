#include "ui/UiMessageBox.h"

#include "ui/UiBridge.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace kestrane {
namespace {

class UiMessageBoxTest : public testing::Test {
protected:
    void SetUp() override { previous = SetMessageBoxHook(MakeUiMessageBoxHook(bridge)); }
    void TearDown() override { SetMessageBoxHook(previous); }

    UiBridge bridge;
    MessageBoxHook previous;
};

TEST_F(UiMessageBoxTest, AnotherThreadWaitsUntilThePlainTextBoxIsDismissed) {
    std::atomic<bool> returned{false};
    bool returnedBeforeDismissal = true;
    QString text;
    QString caption;
    Qt::TextFormat format = Qt::AutoText;
    // The box runs its own loop on this thread, so the answer is set up first.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        answer.stop();
        text = box->text();
        caption = box->windowTitle();
        format = box->textFormat();
        returnedBeforeDismissal = returned.load();
        box->button(QMessageBox::Ok)->click();
    });
    answer.start(5);
    std::thread sender([&] {
        ShowMessageBox("<b>IPORT Error.</b>", "sendto");
        returned = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }));
    sender.join();
    EXPECT_FALSE(returnedBeforeDismissal);
    EXPECT_EQ(text, "<b>IPORT Error.</b>");
    EXPECT_EQ(caption, "sendto");
    EXPECT_EQ(format, Qt::PlainText);
}

TEST_F(UiMessageBoxTest, OnTheUiThreadTheBoxShowsWithoutWaitingForItself) {
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->accept();
        }
    });
    ShowMessageBox("Windows sockets initialization failed.", "kestrane");
    SUCCEED();
}

TEST_F(UiMessageBoxTest, AfterTheWindowIsGoneNobodyWaits) {
    bridge.Close();
    std::thread sender([] { ShowMessageBox("IPORT Error.", "sendto"); });
    sender.join(); // would hang if it waited: the UI thread serves no events here
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
} // namespace kestrane
