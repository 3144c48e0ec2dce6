#include "chat/ChatMessage.h"
#include "core/delivery/LineLook.h"
#include "tests/ui/LoopbackWindow.h"
#include "ui/LogMarks.h"
#include "ui/WindowMenus.h"
#include "ui/conversations/ConversationsWindow.h"
#include "ui/conversations/ThreadView.h"

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

// Opens the conversations as the tray menu does, and returns the window.
ConversationsWindow& Converse(LoopbackWindow& lan) {
    for (QAction* item : lan.dialog->Menus().TrayMenu().actions()) {
        if (item->text() == "&Conversations...") {
            item->trigger();
        }
    }
    auto* window = lan.dialog->findChild<ConversationsWindow*>();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));
    QCoreApplication::processEvents(); // the window hears of its activation
    return *window;
}

// What the thread shows once its box is written, with each line's mark after a "|", and
// its trust, but Plain, after a "|t".
QString ThreadOf(ConversationsWindow& window) {
    const auto* box = window.findChild<QPlainTextEdit*>("thread");
    const QString shown = QString(window.Thread().Text().Text()).replace("\r\n", "\n");
    static_cast<void>(QTest::qWaitFor([&] { return box->toPlainText() == shown; }));
    QStringList lines = box->toPlainText().split('\n');
    for (int line = 0; line < lines.size(); ++line) {
        const auto look = window.Thread().Marks().LookOf(static_cast<std::uint64_t>(line));
        if (look) {
            lines[line] += QString(" |%1").arg(static_cast<int>(*look));
        }
        if (const LineTrust trust =
                window.Thread().Marks().TrustOf(static_cast<std::uint64_t>(line));
            trust != LineTrust::Plain) {
            lines[line] += QString(" |t%1").arg(static_cast<int>(trust));
        }
    }
    return lines.mid(1).join('\n'); // below the day
}

QStringList Listed(ConversationsWindow& window) {
    QStringList names;
    const auto* hosts = window.findChild<QListWidget*>("hosts");
    for (int row = 0; row < hosts->count(); ++row) {
        names << hosts->item(row)->text();
    }
    return names;
}

void Type(ConversationsWindow& window, const QString& text) {
    auto* line = window.findChild<QLineEdit*>("line");
    line->setText(text);
    QTest::keyClick(line, Qt::Key_Return);
}

} // namespace

TEST(ConversationsTest, AThreadHoldsBothWaysWithMarksThatFollowAndTypingAnswersItsHost) {
    QTemporaryDir history;
    {
        LoopbackWindow lan(false, true, history.path());
        const UdpPeer pc3("127.0.0.3", lan.port);
        lan.MeetKestrane(pc3);
        lan.Receive(Datagram(4, "PC2", "unrelated\r\n"), "127.0.0.2");
        lan.Receive(Datagram(4, "PC3", "lunch?\r\n"));
        const std::string sure = Datagram(4, "PC3", "sure\r\n");
        lan.dialog->Session().OnChatMessage(ChatMessage(sure.data(), static_cast<int>(sure.size())),
                                            "127.0.0.3", LineTrust::NewKey);
        ConversationsWindow& window = Converse(lan);
        // The newest unread line's host is open; the other keeps its count.
        EXPECT_EQ(Listed(window).join(", ").toStdString(), "Everybody, PC3, PC2 (1 unread)");
        EXPECT_EQ(window.Chosen().toStdString(), "PC3");
        Type(window, "yes");
        const std::string notice = pc3.Next();
        ASSERT_TRUE(notice.ends_with("ONE yes\r\n"));
        EXPECT_EQ(ThreadOf(window).toStdString(),
                  "PC3: lunch?\nPC3 to everybody: sure |t5\nYou: yes |0\n");
        lan.Confirm(notice);
        EXPECT_EQ(ThreadOf(window).toStdString(),
                  "PC3: lunch?\nPC3 to everybody: sure |t5\nYou: yes |1\n");
        EXPECT_TRUE(window.findChild<QLineEdit*>("line")->text().isEmpty());
        // A host no longer listed: the line stays, and the window says why.
        lan.dialog->Session().Hosts().Remove("PC3");
        Type(window, "still there?");
        EXPECT_EQ(window.findChild<QLineEdit*>("line")->text(), "still there?");
        EXPECT_EQ(window.findChildren<QLabel*>().back()->text(),
                  "Not sent: PC3 is not on the network now.");
    }
    // The next start reads the thread back from the history, the newest host first.
    LoopbackWindow lan(false, true, history.path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return lan.queue.Size() == 1; }, 5000));
    ConversationsWindow& window = Converse(lan);
    EXPECT_EQ(window.Chosen().toStdString(), "PC2");
    window.Open("PC3");
    EXPECT_EQ(ThreadOf(window).toStdString(),
              "PC3: lunch?\nPC3 to everybody: sure |t5\nYou: yes |1\n");
}

} // namespace kestrane::test
