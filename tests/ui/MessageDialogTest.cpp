#include "tests/support/RecordingToneSink.h"
#include "ui/CMessageDlg.h"
#include "ui/HistoryEntry.h"
#include "ui/MessageQueue.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

QT_BEGIN_NAMESPACE
// Defined with the widget tests' main.
void PrintTo(const QString& text, std::ostream* out);
QT_END_NAMESPACE

namespace kestrane {
namespace {

using test::RecordingToneSink;

const std::vector<Tone> kBeep{{500, 100}};
constexpr int kStillOpen = -1;

struct Reply {
    std::string host;
    QString text;
    friend bool operator==(const Reply&, const Reply&) = default;
    friend void PrintTo(const Reply& reply, std::ostream* out) {
        *out << reply.host << " <- ";
        PrintTo(reply.text, out);
    }
};

class MessageDialogTest : public testing::Test {
protected:
    /// Queues entries "E1" (oldest) .. "En" from hosts "PC1" .. "PCn" and opens on the newest.
    void Fill(int count) {
        for (int number = 1; number <= count; ++number) {
            Append(number);
        }
        queue.current = queue.Size() - 1;
    }

    void Append(int number) {
        HistoryEntry entry;
        entry.AppendText(QStringLiteral("E%1\r\n").arg(number));
        entry.SetSender(QStringLiteral("PC%1").arg(number));
        entry.senderBytes = "PC" + std::to_string(number);
        queue.Append(entry);
    }

    std::unique_ptr<CMessageDlg> Open() {
        return std::make_unique<CMessageDlg>(
            queue, tones, [this](const HistoryEntry& entry, const QString& text) {
                replies.push_back({entry.senderBytes, text});
                return replyResult;
            });
    }

    /// Runs the dialog modally with `actions` queued; kStillOpen when they left it open.
    static int RunModal(CMessageDlg& dialog, const std::function<void()>& actions) {
        QTimer::singleShot(0, &dialog, [&dialog, &actions] {
            actions();
            if (dialog.isVisible()) {
                dialog.done(kStillOpen);
            }
        });
        return dialog.exec();
    }

    static void Click(CMessageDlg& dialog, const char* id) {
        dialog.findChild<QPushButton*>(QString::fromLatin1(id))->click();
    }
    static QString Label(CMessageDlg& dialog) {
        return dialog.findChild<QLabel*>(QStringLiteral("1008"))->text();
    }
    static QString TextBox(CMessageDlg& dialog) {
        return dialog.findChild<QPlainTextEdit*>(QStringLiteral("1006"))->toPlainText();
    }
    static QLineEdit* ReplyLine(CMessageDlg& dialog) {
        return dialog.findChild<QLineEdit*>(QStringLiteral("1009"));
    }

    std::vector<QString> Senders() const {
        std::vector<QString> senders;
        for (const HistoryEntry& entry : queue.entries) {
            senders.push_back(entry.GetSender());
        }
        return senders;
    }

    MessageQueue queue;
    RecordingToneSink tones;
    std::vector<Reply> replies;
    SendResult replyResult = SendResult::Sent;
};

TEST_F(MessageDialogTest, OpensOnCurrentAndTheTitleKeepsThatSenderWhileTheLabelFollows) {
    Fill(3);
    auto dialog = Open();
    EXPECT_EQ(dialog->windowTitle(), "Message from PC3");
    EXPECT_EQ(Label(*dialog), "PC3");
    EXPECT_EQ(TextBox(*dialog), ">E3\n");
    EXPECT_EQ(dialog->messageBody, ">E3\r\n");
    EXPECT_TRUE(ReplyLine(*dialog)->text().isEmpty());
    EXPECT_EQ(dialog->focusWidget(), ReplyLine(*dialog));

    Click(*dialog, "1011");
    EXPECT_EQ(Label(*dialog), "PC2");
    EXPECT_EQ(dialog->windowTitle(), "Message from PC3");
}

TEST_F(MessageDialogTest, ReceivedNamesShowAsPlainTextInLabelAndTitle) {
    HistoryEntry entry;
    entry.AppendText(QStringLiteral("<i>hi</i>"));
    entry.SetSender(QStringLiteral("<b>PC</b>[*]"));
    queue.Append(entry);
    queue.current = 0;
    auto dialog = Open();
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    auto* label = dialog->findChild<QLabel*>(QStringLiteral("1008"));
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->text(), "<b>PC</b>[*]");
    EXPECT_EQ(dialog->windowHandle()->title(), "Message from <b>PC</b>[*]");
    EXPECT_EQ(TextBox(*dialog), "><i>hi</i>");
    dialog->hide();
}

TEST_F(MessageDialogTest, OneEntryBeepsBothWaysAndSkipEmptiesTheQueueAndCloses) {
    Fill(1);
    auto dialog = Open();
    const int result = RunModal(*dialog, [&] {
        Click(*dialog, "1010");
        Click(*dialog, "1011");
        EXPECT_EQ(Label(*dialog), "PC1");
        EXPECT_EQ(queue.current, 0);
        Click(*dialog, "1012");
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_TRUE(queue.entries.empty());
    EXPECT_EQ(queue.current, -1);
    EXPECT_EQ(tones.Requests(), (std::vector<std::vector<Tone>>{kBeep, kBeep}));
}

TEST_F(MessageDialogTest, SkipFromTheNewestWalksDownToTheOldestThenCloses) {
    Fill(3);
    auto dialog = Open();
    const int result = RunModal(*dialog, [&] {
        Click(*dialog, "1012");
        EXPECT_EQ(Label(*dialog), "PC2");
        EXPECT_EQ(queue.current, 1);
        Click(*dialog, "1012");
        EXPECT_EQ(Label(*dialog), "PC1");
        EXPECT_EQ(TextBox(*dialog), ">E1\n");
        EXPECT_EQ(queue.current, 0);
        Click(*dialog, "1012");
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_TRUE(queue.entries.empty());
    EXPECT_TRUE(tones.Requests().empty());
}

TEST_F(MessageDialogTest, SkipFromEachPositionOfThreeShowsTheOlderOrAfterTheOldestTheNewest) {
    struct Case {
        int olderSteps;
        std::vector<QString> left;
        int current;
        QString shown;
    };
    for (const Case& expected :
         {Case{0, {"PC1", "PC2"}, 1, "PC2"}, Case{1, {"PC1", "PC3"}, 0, "PC1"},
          Case{2, {"PC2", "PC3"}, 1, "PC3"}}) {
        SCOPED_TRACE(expected.olderSteps);
        queue.entries.clear();
        Fill(3);
        auto dialog = Open();
        for (int step = 0; step < expected.olderSteps; ++step) {
            Click(*dialog, "1011");
        }
        Click(*dialog, "1012");
        EXPECT_EQ(Senders(), expected.left);
        EXPECT_EQ(queue.current, expected.current);
        EXPECT_EQ(Label(*dialog), expected.shown);
        EXPECT_EQ(TextBox(*dialog), QStringLiteral(">E%1\n").arg(expected.shown.back()));
    }
}

TEST_F(MessageDialogTest, AtTheEndsStepsBeepAndKeepEverythingWhileStepsDiscardTheTypedLine) {
    Fill(2);
    auto dialog = Open();
    ReplyLine(*dialog)->setText(QStringLiteral("half typed"));
    Click(*dialog, "1010"); // newest: beeps
    EXPECT_EQ(queue.current, 1);
    EXPECT_EQ(Label(*dialog), "PC2");
    EXPECT_EQ(ReplyLine(*dialog)->text(), "half typed");
    EXPECT_EQ(tones.Requests(), (std::vector<std::vector<Tone>>{kBeep}));

    Click(*dialog, "1011"); // steps, and the line is lost
    EXPECT_EQ(Label(*dialog), "PC1");
    EXPECT_TRUE(ReplyLine(*dialog)->text().isEmpty());
    ReplyLine(*dialog)->setText(QStringLiteral("again"));
    Click(*dialog, "1011"); // oldest: beeps
    EXPECT_EQ(queue.current, 0);
    EXPECT_EQ(ReplyLine(*dialog)->text(), "again");
    EXPECT_EQ(tones.Requests().size(), 2u);
    EXPECT_EQ(queue.Size(), 2);
}

TEST_F(MessageDialogTest, AnEntryArrivingWhileOpenGoesToTheEndAndNewerReachesIt) {
    Fill(3);
    auto dialog = Open();
    Append(4);
    EXPECT_EQ(queue.current, 2);
    EXPECT_EQ(Label(*dialog), "PC3");
    Click(*dialog, "1010");
    EXPECT_TRUE(tones.Requests().empty());
    EXPECT_EQ(queue.current, 3);
    EXPECT_EQ(Label(*dialog), "PC4");
}

TEST_F(MessageDialogTest, ReplyAnswersTheWireNameAndSkipsAnEmptyLineSendsCrLfAlone) {
    Fill(3);
    queue.entries[2].SetSender(QStringLiteral("PCé"));
    queue.entries[2].senderBytes = "PC\xE9"; // Windows-1252 on the wire
    auto dialog = Open();
    ReplyLine(*dialog)->setText(QStringLiteral("ok"));
    Click(*dialog, "1005");
    EXPECT_EQ(Label(*dialog), "PC2");
    Click(*dialog, "1005");
    EXPECT_EQ(replies, (std::vector<Reply>{{"PC\xE9", "ok\r\n"}, {"PC2", "\r\n"}}));
    EXPECT_EQ(Senders(), (std::vector<QString>{"PC1"}));

    const int result = RunModal(*dialog, [&] { Click(*dialog, "1005"); });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_TRUE(queue.entries.empty());
    EXPECT_EQ(replies.size(), 3u);
}

TEST_F(MessageDialogTest, EnterInTheReplyLineRepliesOnce) {
    Fill(2);
    auto dialog = Open();
    const int result = RunModal(*dialog, [&] {
        QTest::keyClicks(ReplyLine(*dialog), QStringLiteral("yes"));
        QTest::keyClick(ReplyLine(*dialog), Qt::Key_Return);
    });
    EXPECT_EQ(result, kStillOpen);
    EXPECT_EQ(replies, (std::vector<Reply>{{"PC2", "yes\r\n"}}));
    EXPECT_EQ(queue.Size(), 1);
}

TEST_F(MessageDialogTest, HideEscAndTheCloseButtonKeepEveryEntry) {
    Fill(3);
    auto dialog = Open();
    EXPECT_EQ(RunModal(*dialog,
                       [&] {
                           Click(*dialog, "1011");
                           Click(*dialog, "1013");
                       }),
              QDialog::Accepted);
    EXPECT_EQ(queue.current, 1);
    EXPECT_EQ(RunModal(*dialog, [&] { QTest::keyClick(ReplyLine(*dialog), Qt::Key_Escape); }),
              QDialog::Rejected);
    EXPECT_EQ(RunModal(*dialog, [&] { dialog->close(); }), QDialog::Rejected);
    EXPECT_EQ(Senders(), (std::vector<QString>{"PC1", "PC2", "PC3"}));
    EXPECT_EQ(queue.current, 1);
    EXPECT_TRUE(replies.empty());
}

TEST_F(MessageDialogTest, AReplyNotSentKeepsTheEntryAndTheTypedLine) {
    Fill(2);
    auto dialog = Open();
    for (const SendResult failure :
         {SendResult::Failed, SendResult::TooLong, SendResult::NoConnection}) {
        replyResult = failure;
        QString boxText;
        int boxes = 0;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++boxes;
                boxText = box->text();
                EXPECT_EQ(box->textFormat(), Qt::PlainText);
                box->button(QMessageBox::Ok)->click();
            }
        });
        answer.start(5);
        ReplyLine(*dialog)->setText(QStringLiteral("typed"));
        Click(*dialog, "1005");
        answer.stop();
        // "Failed" had its box from the sender already.
        EXPECT_EQ(boxes, failure == SendResult::Failed ? 0 : 1);
        EXPECT_EQ(ReplyLine(*dialog)->text(), "typed");
        EXPECT_EQ(Label(*dialog), "PC2");
        EXPECT_EQ(queue.Size(), 2);
        EXPECT_EQ(queue.current, 1);
    }
    EXPECT_EQ(replies.size(), 3u);
}

TEST_F(MessageDialogTest, WithoutAnEntryToShowTheRunEndsAtOnce) {
    auto dialog = Open();
    EXPECT_EQ(dialog->exec(), QDialog::Rejected);
    EXPECT_EQ(queue.current, -1);
}

} // namespace
} // namespace kestrane
