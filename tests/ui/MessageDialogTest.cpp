#include "tests/ui/LoopbackDialog.h"
#include "ui/CMessageDlg.h"
#include "ui/HistoryEntry.h"

#include <QLabel>
#include <QPushButton>
#include <QWindow>

namespace kestrane::test {
namespace {

TEST(MessageDialogTest, StepsSkipsAndRepliesWalkTheQueue) {
    const QString newest = "PC5 <b>[*]"; // names show as they came
    MessageQueue queue;
    for (const QString& sender :
         {QString("PC1"), QString("PC2"), QString("PC3"), QString("PC4"), newest}) {
        HistoryEntry entry;
        entry.SetSender(sender);
        entry.senderAddress = "10.0.0." + sender.mid(2, 1).toStdString();
        queue.Append(entry);
    }
    queue.current = 4;
    RecordingToneSink tones;
    QString replies;
    bool replySent = true;
    CMessageDlg dialog(queue, tones, [&](const HistoryEntry& entry, const QString& text) {
        replies += entry.senderAddress.c_str() + (" " + text);
        return replySent ? SendResult::Sent : SendResult::Failed;
    });
    auto* replyLine = dialog.findChild<QLineEdit*>("1009");
    QString tabOrder; // the buttons, as Tab reaches them from the reply line
    for (QWidget* widget = replyLine; (widget = widget->nextInFocusChain()) != replyLine;) {
        tabOrder +=
            widget->inherits("QPushButton") ? static_cast<QPushButton*>(widget)->text() : "";
    }
    EXPECT_EQ(tabOrder, "Hide<<>>SkipReply");
    dialog.show();
    EXPECT_EQ(dialog.windowHandle()->title(), "Message from " + newest);
    EXPECT_EQ(dialog.findChild<QLabel*>("1008")->textFormat(), Qt::PlainText);
    // Action (a button, Enter or Esc), line typed first, whether a reply goes out, then the
    // sender on show and the reply line (empty once closed), the senders left, beeps, replies.
    const std::tuple<QString, QString, bool, QString, QString, std::size_t, QString> steps[] = {
        {"<<", "", true, newest, "12345", 1, ""},
        {"Hide", "", true, "", "12345", 1, ""},
        {"Esc", "", true, "", "12345", 1, ""},
        {"Skip", "", true, "PC4", "1234", 1, ""},
        {">>", "", true, "PC3", "1234", 1, ""},
        {"Skip", "", true, "PC2", "124", 1, ""},
        {">>", "", true, "PC1", "124", 1, ""},
        {">>", "half", true, "PC1 half", "124", 2, ""},
        {"Skip", "", true, "PC4", "24", 2, ""},
        {"Reply", "no", false, "PC4 no", "24", 2, "10.0.0.4 no\r\n"},
        {"Enter", "ok", true, "PC2", "2", 2, "10.0.0.4 ok\r\n"},
        {"Reply", "yes", true, "", "", 2, "10.0.0.2 yes\r\n"}};
    for (const auto& [action, typed, sent, shown, queued, beeps, replied] : steps) {
        SCOPED_TRACE(action.toStdString() + " " + shown.toStdString());
        replies.clear();
        replySent = sent;
        dialog.show();
        replyLine->setText(typed);
        if (action == "Enter" || action == "Esc") {
            QTest::keyClick(replyLine, action == "Enter" ? Qt::Key_Return : Qt::Key_Escape);
        }
        for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
            if (button->text() == action) {
                button->click();
            }
        }
        QString left;
        for (const HistoryEntry& entry : queue.entries) {
            left += entry.GetSender()[2];
        }
        const QString onShow = dialog.findChild<QLabel*>("1008")->text() + " " + replyLine->text();
        EXPECT_EQ(dialog.isVisible() ? onShow.trimmed() : "", shown);
        EXPECT_EQ(left, queued);
        EXPECT_EQ(tones.Requests().size(), beeps);
        EXPECT_EQ(replies, replied);
    }
}

} // namespace
} // namespace kestrane::test
