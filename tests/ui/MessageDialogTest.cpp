#include "tests/support/Fakes.h"
#include "ui/CMessageDlg.h"
#include "ui/HistoryEntry.h"
#include "ui/MessageQueue.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

TEST(MessageDialogTest, StepsSkipsAndRepliesWalkTheQueue) {
    MessageQueue queue;
    for (int number = 1; number <= 5; ++number) {
        HistoryEntry entry;
        entry.SetSender(QStringLiteral("PC%1").arg(number));
        entry.senderAddress = "10.0.0." + std::to_string(number);
        queue.Append(entry);
    }
    queue.current = 4;
    RecordingToneSink tones;
    QString replies;
    SendResult result = SendResult::Sent;
    CMessageDlg dialog(queue, tones, [&](const HistoryEntry& entry, const QString& text) {
        replies += QString::fromStdString(entry.senderAddress) + " " + text;
        return result;
    });
    auto* replyLine = dialog.findChild<QLineEdit*>("1009");
    QStringList tabOrder;
    for (QWidget* widget = replyLine->nextInFocusChain(); widget != replyLine;
         widget = widget->nextInFocusChain()) {
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            tabOrder << button->text();
        }
    }
    EXPECT_EQ(tabOrder.join(' '), "Hide << >> Skip Reply");
    dialog.show();

    enum Action { Newer, Older, Skip, Reply, Enter, Hide, Escape, Open };
    struct {
        Action action;
        QString typed;
        SendResult result;
        QString shown;  // the sender on show and the reply line; empty once closed
        QString queued; // the senders' numbers
        std::size_t beeps;
        QString replied; // by this step
    } const steps[] = {{Newer, "", SendResult::Sent, "PC5", "12345", 1, ""},
                       {Skip, "", SendResult::Sent, "PC4", "1234", 1, ""},
                       {Older, "", SendResult::Sent, "PC3", "1234", 1, ""},
                       {Skip, "", SendResult::Sent, "PC2", "124", 1, ""},
                       {Older, "", SendResult::Sent, "PC1", "124", 1, ""},
                       {Older, "typed", SendResult::Sent, "PC1 typed", "124", 2, ""},
                       {Skip, "", SendResult::Sent, "PC4", "24", 2, ""},
                       {Reply, "no", SendResult::Failed, "PC4 no", "24", 2, "10.0.0.4 no\r\n"},
                       {Reply, "yes", SendResult::Sent, "PC2", "2", 2, "10.0.0.4 yes\r\n"},
                       {Hide, "", SendResult::Sent, "", "2", 2, ""},
                       {Open, "", SendResult::Sent, "PC2", "2", 2, ""},
                       {Escape, "", SendResult::Sent, "", "2", 2, ""},
                       {Open, "", SendResult::Sent, "PC2", "2", 2, ""},
                       {Enter, "ok", SendResult::Sent, "", "", 2, "10.0.0.2 ok\r\n"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        replies.clear();
        result = step.result;
        replyLine->setText(step.typed);
        const char* buttons[] = {"1010", "1011", "1012", "1005", "", "1013"};
        if (step.action == Enter || step.action == Escape) {
            QTest::keyClick(replyLine, step.action == Enter ? Qt::Key_Return : Qt::Key_Escape);
        } else if (step.action == Open) {
            dialog.show();
        } else {
            dialog.findChild<QPushButton*>(buttons[step.action])->click();
        }
        QString queued;
        for (const HistoryEntry& entry : queue.entries) {
            queued += entry.GetSender().back();
        }
        const QString shown = dialog.findChild<QLabel*>("1008")->text() + " " + replyLine->text();
        EXPECT_EQ(dialog.isVisible() ? shown.trimmed() : "", step.shown);
        EXPECT_EQ(queued, step.queued);
        EXPECT_EQ(tones.Requests().size(), step.beeps);
        EXPECT_EQ(replies, step.replied);
    }
}

} // namespace
} // namespace kestrane::test
