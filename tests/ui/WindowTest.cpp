#include "chat/ChatMessage.h"
#include "core/NetworkText.h"
#include "core/threads/UiBridge.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "platform/MessageBox.h"
#include "tests/support/Fakes.h"
#include "tests/support/Lan.h"
#include "tests/ui/LoopbackWindow.h"
#include "ui/CMessageDlg.h"
#include "ui/CTavrinDlg.h"
#include "ui/CTransfersDlg.h"
#include "ui/DialogBuilder.h"
#include "ui/LogMarks.h"
#include "ui/UiMessageBox.h"
#include "ui/alerts/AlertSettings.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace kestrane::test {
namespace {

TEST(MainWindowTest, IncomingLinesReachLogRosterQueueTonesAndTray) {
    // On screen or not, a datagram from 127.0.0.3; then the log, the roster, the queue, the
    // chimes, the unread flag, whether the timer ticks and the icon at two ticks, a left click,
    // then dialogs run by a right click. A name never ends a line of the log.
    const std::tuple<bool, std::string, std::string> rows[] = {
        {true, Datagram(3, "PC2", "caf\xe9\r\n"),
         "PC2 : caf\u00e9\n | *, PC2 | PC2 >caf\u00e9\r\n 127.0.0.3 | 0 | read idle 128 128 "
         "steady | shown, read 128 | 0 shown"},
        {false, Datagram(4, "<b>X</b>\r\nY\a", "<i>hi</i>\r\n"),
         "<b>X</b>  Y  : <i>hi</i>\n | *, <b>X</b>  Y  | <b>X</b>  Y  ><i>hi</i>\r\n 127.0.0.3 | 1 "
         "| "
         "unread ticking 128 134 blinks | shown, read 128 | 0 shown"},
        {false, Datagram(4, "PC7", "mine\r\n"),
         " | * |  | 0 | read idle 128 128 steady | shown, read 128 | 0 shown"}};
    for (const auto& [onScreen, datagram, effects] : rows) {
        SCOPED_TRACE(datagram);
        LoopbackWindow lan(onScreen);
        lan.Receive(datagram);
        QString seen = lan.Log() + " | " + lan.Roster() + " | ";
        for (const HistoryEntry& entry : lan.queue.entries) {
            seen += entry.GetSender() + " " + entry.GetText() + " " + entry.senderAddress.c_str();
        }
        seen += QString(" | %1 | ").arg(std::ranges::count(lan.tones.Requests(), kChime)) +
                (lan.dialog->presence->unreadPending ? "unread " : "read ") +
                (lan.ticking ? "ticking" : "idle");
        lan.dialog->presence->OnTimer();
        const QImage icon = lan.tray.Icon().icon().pixmap(16).toImage();
        seen += " " + QString::number(lan.tray.ShownIconId());
        lan.dialog->presence->OnTimer();
        seen += " " + QString::number(lan.tray.ShownIconId()) +
                (icon == lan.tray.Icon().icon().pixmap(16).toImage() ? " steady" : " blinks");
        lan.Click(QSystemTrayIcon::Trigger);
        seen += lan.dialog->isVisible() && !lan.dialog->presence->unreadPending ? " | shown, read "
                                                                                : " | ? ";
        seen += QString::number(lan.tray.ShownIconId());
        lan.Click(QSystemTrayIcon::Context);
        seen += QString(" | %1 ").arg(lan.dialog->messageDialogRuns) +
                (lan.dialog->isVisible() ? "shown" : "hidden");
        EXPECT_EQ(seen.toStdString(), effects);
    }
}

TEST(MainWindowTest, TheTipTellsWhatWaitsMuteIsKeptAndCtrlUOpensNoLineTheLogShowed) {
    // Muted or not, a hidden window gets a line: its chimes, the icon's tip (a name from the
    // network starts no markup there), the title, and the setting as the next start reads it.
    const std::tuple<bool, std::string, std::string> rows[] = {
        {false, "PC2",
         "1 | Kestrane: 1 unread line, from PC2 | Kestrane (1 unread) \u2014 PC7 | 0"},
        {true, "<b>X</b>&",
         "0 | Kestrane: 1 unread line, from \u2039b\u203AX\u2039/b\u203A\uFF06 | "
         "Kestrane (1 unread) \u2014 PC7 | 1"}};
    for (const auto& [muted, sender, effects] : rows) {
        SCOPED_TRACE(sender);
        LoopbackWindow lan;
        lan.dialog->alertSettings->SetMuted(muted);
        lan.Receive(Datagram(3, sender, "hi\r\n"));
        const QString seen = QString("%1 | %2 | %3 | %4")
                                 .arg(std::ranges::count(lan.tones.Requests(), kChime))
                                 .arg(lan.tray.ToolTip(), lan.dialog->windowTitle())
                                 .arg(AlertSettings().Muted());
        EXPECT_EQ(seen.toStdString(), effects);
        lan.dialog->alertSettings->SetMuted(false);
    }
    // On screen and looked at, Ctrl+U opens nothing: not with nothing queued, nor with two
    // lines that came before the person's eyes (a line not seen: UnreadTest).
    LoopbackWindow lan(true);
    ASSERT_TRUE(QTest::qWaitForWindowActive(lan.dialog.get()));
    QTest::keyClick(lan.dialog.get(), Qt::Key_U, Qt::ControlModifier);
    lan.Receive(Datagram(3, "PC2", "one\r\n"));
    lan.Receive(Datagram(4, "PC2", "two\r\n"));
    QTest::keyClick(lan.dialog.get(), Qt::Key_U, Qt::ControlModifier);
    EXPECT_EQ(QString("%1 %2").arg(lan.dialog->messageDialogRuns).arg(lan.queue.Size()), "0 2");
}

// A window as the program makes it, to be run by DoModal, on a loopback port of its own;
// `everyone` hears what it broadcasts but for receipts and presence.
struct ModalWindow {
    explicit ModalWindow(bool withTray = true) : trayAvailable(withTray) { everyone.Ignore(9); }
    const bool trayAvailable;
    const int port = FreeUdpPort();
    UdpPeer everyone{"127.0.0.1", port};
    MessageQueue queue;
    RecordingToneSink tones;
    FakeTray tray;
    const bool trayChosen = (tray.available = trayAvailable);
    UiBridge bridge;
    LoopbackDialog dialog{{queue, tones, tray, bridge, nullptr, {}, LoopbackNames, {}, {}}, port};
};

TEST(MainWindowTest, BehindATrayItStartsUnseenAndShowsWhatCameMeanwhileWhenFirstOpened) {
    ModalWindow window;
    auto [dialog, everyone, tray, port] =
        std::tie(window.dialog, window.everyone, window.tray, window.port);
    QString log;
    QString title;
    QTimer::singleShot(0, &dialog, [&] {
        EXPECT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.findChild<QPlainTextEdit*>(), nullptr); // no control made, no font
        dialog.presence->OnTimer();                              // the first tick
        const UdpPeer pc3("127.0.0.3");
        pc3.SendTo(port, Datagram(4, "PC3", "while unseen\r\n"), "127.0.0.2");
        pc3.SendTo(port, Datagram(1, "PC7", "ILIVE"), "127.0.0.2");
        EXPECT_EQ(everyone.Next(), Datagram(2, "PC7", "*** Online ***\r\n"));
        QCoreApplication::processEvents();
        title = dialog.windowTitle();
        emit tray.Icon().activated(QSystemTrayIcon::Trigger);
        QCoreApplication::processEvents();
        const auto* view = dialog.findChild<QPlainTextEdit*>("1000");
        if (view != nullptr) {
            static_cast<void>(QTest::qWaitFor([&] { return view->toPlainText().contains("PC3"); }));
            log = view->toPlainText() + "| " + RosterOf(dialog) + " | " +
                  dialog.roster->currentText();
        }
        dialog.done(QDialog::Rejected);
    });
    dialog.DoModal();
    EXPECT_EQ(title, "Kestrane (1 unread) \u2014 PC7");
    EXPECT_EQ(log, "PC3 : while unseen\n| *, PC3 | << Broadcast >>");
}

TEST(MainWindowTest, TheFirstStartShowsTheWindowOnceWithANoteNamingThisHostAndTheHostsHeard) {
    // With a tray and without: the first start's window after the first tick, and its note;
    // then whether a second start shows it.
    for (const bool trayAvailable : {true, false}) {
        SCOPED_TRACE(trayAvailable);
        QSettings(QStringLiteral("kestrane"), QStringLiteral("kestrane"))
            .remove(QStringLiteral("window/welcomed"));
        std::string seen;
        for (int start = 1; start <= 2; ++start) {
            ModalWindow window(trayAvailable);
            auto [dialog, everyone, port] = std::tie(window.dialog, window.everyone, window.port);
            QTimer::singleShot(0, &dialog, [&] {
                EXPECT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
                const UdpPeer pc3("127.0.0.3");
                pc3.SendTo(port, Datagram(1, "PC3", "ILIVE"), "127.0.0.2");
                dialog.presence->OnTimer(); // the first tick
                QCoreApplication::processEvents();
                seen += " " + std::to_string(start) + ":" +
                        (!dialog.isVisible()    ? "hidden"
                         : dialog.isMinimized() ? "minimized"
                                                : "shown");
                const auto* log = dialog.findChild<QPlainTextEdit*>("1000");
                if (start == 1 && log != nullptr) {
                    EXPECT_TRUE(
                        QTest::qWaitFor([&] { return log->toPlainText().contains("***"); }));
                    seen += " " + log->toPlainText().toStdString();
                }
                dialog.done(QDialog::Rejected);
            });
            dialog.DoModal();
        }
        EXPECT_EQ(seen,
                  std::string(" 1:shown *** Kestrane runs on this computer as PC7 and has heard "
                              "1 other host so far. Choose a host under To: to write to it "
                              "alone, or Broadcast to write to everybody ***\n 2:") +
                      (trayAvailable ? "hidden" : "minimized"));
    }
}

TEST(MainWindowTest, AwayWithoutATrayTheTitleCountsLinesAndRestoringOpensTheNewest) {
    // A tray or not, on screen (a line seen, then minimized by the user) or not, lines that
    // come while away: the title at each, then after a restore (or a panel's secondary action
    // on the icon) the message dialogs run, the entry opened and the title: the log seen
    // behind the dialog reads every line, the icon's action only the line it opened. (The
    // name after the titles, PC7, is left out.)
    const std::tuple<bool, bool, int, std::string> rows[] = {
        {false, false, 2, "Kestrane (1 unread), Kestrane (2 unread), 1 on 1, Kestrane"},
        {false, true, 1, "Kestrane (1 unread), 1 on 1, Kestrane"},
        {false, false, 0, "0 on -1, Kestrane"},
        {true, false, 2, "Kestrane (1 unread), Kestrane (2 unread), 1 on 1, Kestrane (1 unread)"}};
    for (const auto& [trayAvailable, onScreen, lines, effects] : rows) {
        LoopbackWindow lan(onScreen, trayAvailable);
        QCoreApplication::processEvents(); // the window system has caught up
        if (onScreen) {
            lan.Receive(Datagram(4, "PC2", "seen\r\n"));
            lan.dialog->windowHandle()->setWindowStates(Qt::WindowMinimized);
            ASSERT_TRUE(QTest::qWaitFor([&] { return lan.dialog->presence->hidden; }));
        }
        QString seen;
        for (int line = 0; line < lines; ++line) {
            lan.Receive(Datagram(4, "PC2", "x\r\n"));
            lan.dialog->presence->OnTimer();
            seen += lan.dialog->windowTitle().remove(" \u2014 PC7") + ", ";
        }
        if (trayAvailable) {
            lan.Click(QSystemTrayIcon::MiddleClick);
        } else {
            lan.dialog->showNormal(), lan.dialog->activateWindow(); // as the taskbar does
        }
        QCoreApplication::processEvents();
        seen += QString("%1 on %2, ").arg(lan.dialog->messageDialogRuns).arg(lan.queue.current);
        EXPECT_EQ((seen + lan.dialog->windowTitle().remove(" \u2014 PC7")).toStdString(), effects);
    }
}

TEST(MainWindowTest, LinesGoWhereTheHostLastSpokeFromOrStayTypedWithAReason) {
    LoopbackWindow lan(true);
    const UdpPeer three("127.0.0.3", lan.port);
    const UdpPeer four("127.0.0.4", lan.port);
    lan.Receive(Datagram(4, "PC2", "hi\r\n"));
    lan.dialog->Session().Hosts().Add("PC7", ""); // listed before the own name was known
    for (const char* unheard : {"PC9", "localhost", "!bang"}) {
        lan.dialog->Session().AddPeer(unheard);
    }
    lan.dialog->Session().AddPeer("PC8", "127.255.255.255"); // the kernel refuses to send there
    EXPECT_EQ(lan.Roster().toStdString(), "*, !bang, localhost, PC2, PC7, PC8, PC9");
    // A datagram from 127.0.0.4 once the host is chosen, the host, the line, where it arrives,
    // what the log gains, how the box starts.
    const std::tuple<std::string, QString, QString, std::string, std::string, std::string> rows[] =
        {{"", "*", "to all", "127.0.0.1", "Sent BROADCAST message : to all\n", ""},
         {"", "PC2", "to two", "127.0.0.3", "to two\nSent to PC2: to two\n", ""},
         {Datagram(2, "pc2", "x"), "PC2", "moved", "127.0.0.4",
          "*** pc2 now speaks from 127.0.0.4, no longer from 127.0.0.3 ***\nmoved\n"
          "Sent to PC2: moved\n",
          ""},
         {"", "PC7", "to me", "", "PC7 : to me\nSent to PC7: to me\n", ""},
         {"", "localhost", "found", "127.0.0.1", "found\nSent to localhost: found\n", ""},
         {"", "PC8", "lost", "", "Not sent to PC8: lost\n", "IPORT Error."},
         {"", "*", QString(5000, 'x'), "", "", "This line is too long"},
         {Datagram(7, "pc9", "x"), "PC9", "lost", "", "", "Choose who gets the line"}};
    for (const auto& [later, select, line, to, logged, box] : rows) {
        SCOPED_TRACE(select.toStdString() + ": " + line.left(9).toStdString());
        lan.boxes.clear();
        lan.dialog->roster->setCurrentIndex(lan.Roster().split(", ").indexOf(select));
        const QString before = lan.Log();
        if (!later.empty()) {
            lan.Receive(later, "127.0.0.4");
        }
        lan.MessageLine()->setText(line);
        lan.dialog->findChild<QPushButton*>("6")->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return lan.Log() != before || !lan.boxes.empty(); }));
        EXPECT_EQ(lan.Log().mid(before.size()).toStdString(), logged);
        EXPECT_EQ(lan.boxes.substr(0, box.empty() ? lan.boxes.size() : box.size()), box);
        EXPECT_EQ(lan.MessageLine()->text().toStdString(), box.empty() ? "" : line.toStdString());
        const std::string sent = Datagram(4, "PC7", line.toStdString() + "\r\n");
        EXPECT_EQ(Received(lan.everyone, "127.0.0.1"), to == "127.0.0.1" ? sent : "");
        EXPECT_EQ(Received(three, "127.0.0.3"), to == "127.0.0.3" ? sent : "");
        EXPECT_EQ(Received(four, "127.0.0.4"), to == "127.0.0.4" ? sent : "");
    }
    // A reply goes where its line came from, though PC2 has moved since, and shows in the log.
    EXPECT_EQ(lan.dialog->SendReply(lan.queue.entries[0], "re\r\n"), SendResult::Sent);
    EXPECT_EQ(Received(three, "127.0.0.3"), Datagram(4, "PC7", "re\r\n"));
    EXPECT_TRUE(lan.Log().endsWith("\nReplied to PC2: re\n")) << lan.Log().toStdString();
}

TEST(MainWindowTest, TheWindowGrowsAroundItsLogAndTheControlsKeepTheirPlaces) {
    LoopbackWindow lan(true);
    QDialog& window = *lan.dialog;
    const QSize least = window.size();
    QMap<QString, QRect> before;
    for (const char* id : {"1000", "1002", "1001", "6", "7", "1020", "1022", "rosterLabel"}) {
        before[id] = window.findChild<QWidget*>(id)->geometry();
    }
    window.resize(least + QSize(200, 100));
    // How each control moved and grew: the log grows, the fields widen, the buttons beside
    // them go right and those below go down.
    QStringList moved;
    for (auto at = before.cbegin(); at != before.cend(); ++at) {
        const QRect now = window.findChild<QWidget*>(at.key())->geometry();
        moved << QString("%1 %2,%3 %4x%5")
                     .arg(at.key())
                     .arg(now.x() - at->x())
                     .arg(now.y() - at->y())
                     .arg(now.width() - at->width())
                     .arg(now.height() - at->height());
    }
    EXPECT_EQ(moved.join(" / ").toStdString(),
              "1000 0,0 200x100 / 1001 0,100 200x0 / 1002 0,100 200x0 / 1020 0,100 0x0 / "
              "1022 0,100 0x0 / 6 200,100 0x0 / 7 200,100 0x0 / rosterLabel 0,100 0x0");
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    // A line longer than the log is wide wraps rather than scrolling sideways.
    lan.Receive(Datagram(4, "PC3", QString("word ").repeated(80).toStdString() + "\r\n"));
    const auto* log = window.findChild<QPlainTextEdit*>("1000");
    static_cast<void>(lan.Log());
    EXPECT_GT(log->document()->firstBlock().layout()->lineCount(), 1);
    EXPECT_FALSE(log->horizontalScrollBar()->isVisible());
    window.resize(least - QSize(50, 50));
    EXPECT_EQ(window.size(), least);
}

TEST(MainWindowTest, TabGoesFromTheMessageLineToSendAndTheLabelledRosterAndRoundEveryControl) {
    LoopbackWindow lan(true);
    QDialog& window = *lan.dialog;
    const auto* label = window.findChild<QLabel*>("rosterLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "To:");
    EXPECT_EQ(label->buddy(), window.findChild<QWidget*>("1002"));
    EXPECT_LT(label->geometry().right(), label->buddy()->geometry().left());
    QStringList path;
    QWidget* at = lan.MessageLine();
    do {
        path << at->objectName();
        at = at->nextInFocusChain();
        while (at->focusPolicy() != Qt::StrongFocus || at->parentWidget() != &window) {
            at = at->nextInFocusChain();
        }
    } while (at != lan.MessageLine() && path.size() < 20);
    EXPECT_EQ(path.join(" ").toStdString(), "1001 6 1002 57670 7 1020 1021 1023 1022 1000");
}

TEST(MainWindowTest, ReplyToOnALineThatCameChoosesItsSenderForTheMessageLine) {
    LoopbackWindow lan(true);
    ASSERT_TRUE(QTest::qWaitForWindowActive(lan.dialog.get()));
    lan.Receive(Datagram(4, "PC3", "lunch?\r\n"), "127.0.0.3");
    lan.Receive(Datagram(4, "P&4", "no\r\n"), "127.0.0.4");
    auto* view = lan.dialog->findChild<QPlainTextEdit*>("1000");
    static_cast<void>(lan.Log()); // on screen
    // The first item of the log's menu on each line, chosen.
    QStringList firsts;
    for (const char* text : {"lunch?", "no", "lunch?"}) {
        QTimer::singleShot(0, view, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                firsts << menu->actions().value(0)->text() + " -> ";
                menu->actions().value(0)->trigger();
                menu->close();
            }
        });
        const QRect row = view->cursorRect(view->document()->find(text));
        emit view->customContextMenuRequested(row.center());
        firsts.back() += lan.dialog->roster->currentText();
        if (firsts.size() == 2) {
            lan.dialog->Session().Hosts().Remove("PC3");
        }
    }
    EXPECT_EQ(firsts.join(" | ").toStdString(),
              "&Reply to PC3 -> PC3 | &Reply to P&&4 -> P&4 | &Reply to PC3 -> P&4");
    EXPECT_EQ(lan.dialog->focusWidget(), lan.MessageLine());
    EXPECT_TRUE(lan.Log().endsWith("*** PC3 is not in the list now: it went away ***\n"));
}

TEST(MainWindowTest, ALineToThisHostAloneIsMarkedInTheLogAndTheMessageDialog) {
    LoopbackWindow lan(true);
    lan.Receive(Datagram(4, "PC3", "just you\r\n"), "127.0.0.3");
    // The same line to everybody: to the broadcast address of the loopback network.
    ASSERT_TRUE(
        UdpPeer("127.0.0.4").SendToEverybody(lan.port, Datagram(4, "PC4", "all of you\r\n")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return lan.queue.Size() == 2; }));
    QStringList seen;
    for (const HistoryEntry& entry : lan.queue.entries) {
        const std::optional<LineLook> look = lan.dialog->Marks().LookOf(entry.logLine.value());
        seen << entry.sender + (look == LineLook::ToYou ? " marked" : " plain") + ": " +
                    lan.dialog->Marks().TipOf(entry.logLine.value());
    }
    EXPECT_EQ(seen.join(" | ").toStdString(),
              "PC3 marked: PC3 sent this line to you alone | PC4 plain: ");
    UnreadLines unread(lan.queue, {});
    RecordingToneSink tones;
    lan.queue.current = 1;
    CMessageDlg dialog(lan.queue, unread, tones,
                       [](const HistoryEntry&, const QString&) { return SendResult::Sent; });
    dialog.show(); // names show as they came, the newest first
    EXPECT_EQ(dialog.windowHandle()->title().toStdString(), "Message from PC4 (2 of 2)");
    dialog.findChild<QPushButton*>("1011")->click(); // the older one
    EXPECT_EQ(dialog.windowHandle()->title().toStdString(), "Message to you from PC3 (1 of 2)");
}

TEST(MainWindowTest, TheLogKeepsItsLastLinesAndTheViewWhereTheUserPutIt) {
    LoopbackWindow lan(true);
    auto& edit = *lan.dialog->findChild<QPlainTextEdit*>("1000"); // unwrapped: a scroll step a line
    QScrollBar* bar = edit.verticalScrollBar();
    const std::string cut = "*** Older lines were removed: the log keeps the last 10,000 ***|line ";
    // Lines, ending in CR LF or CR, added once the user put the view's top on a line (-1: left it;
    // 0: at the end) and selected the tenth below; then the first lines, the lines, the line on
    // top, the selection.
    const std::tuple<int, int, std::string> steps[] = {
        {10999, -1, "line 0|line 1|10999|end|"},
        {1, 10500, cut + "1000|10001|line 10500|line 10510"},
        {1000, -1, cut + "2000|10001|line 10500|line 10510"},
        {1, 0, cut + "2000|10002|end|line 10510"}};
    for (int next = 0; const auto& [added, view, state] : steps) {
        if (view > 0) {
            edit.setTextCursor(edit.document()->find(QString("line %1").arg(view + 10)));
        }
        bar->setValue(view < 0 ? bar->value() : view > 0 ? view : bar->maximum());
        for (const int end = next + added; next < end; ++next, lan.dialog->WriteControls()) {
            lan.dialog->logText += QString("line %1").arg(next) + (next % 2 ? "\r" : "\r\n");
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return edit.toPlainText() == lan.Shown(); }));
        const QString shown = edit.toPlainText();
        const QString top = bar->value() == bar->maximum()
                                ? "end"
                                : edit.document()->findBlockByNumber(bar->value()).text();
        EXPECT_EQ(QString("%1|%2|%3|%4")
                      .arg(shown.section('\n', 0, 1).replace('\n', '|'))
                      .arg(shown.count('\n'))
                      .arg(top, edit.textCursor().selectedText())
                      .toStdString(),
                  state);
    }
}

TEST(MainWindowTest, AFullQueueKeepsTheEntryOnShowAndDroppedLinesAreNotedWithoutALineAfter) {
    LoopbackWindow lan(true);
    const std::string line = Datagram(4, "PC2", "x"); // ended in the log all the same
    const ChatMessage message(line.data(), static_cast<int>(line.size()));
    // The entry on show when two lines come to a full queue; then the entries, the two oldest and
    // the one on show. One note tells of both drops; then a flood beyond the line budget.
    for (int notes = 1;
         const std::string row : {"-1 1000 E2 E3 -", "0 1000 E0 E3 E0", "5 1000 E2 E3 E5"}) {
        lan.queue.entries.assign(MessageQueue::kMostEntries, {});
        for (int entry = 0; HistoryEntry & queued : lan.queue.entries) {
            queued.sender = QString("E%1").arg(entry++);
        }
        lan.queue.current = std::stoi(row);
        lan.dialog->Session().OnChatMessage(message);
        lan.dialog->Session().OnChatMessage(message);
        EXPECT_TRUE(lan.Log().endsWith("PC2 : x\nPC2 : x\n"));
        const auto& entries = lan.queue.entries;
        const int onShow = lan.queue.current;
        EXPECT_EQ(QString("%1 %2 %3 %4 %5")
                      .arg(row.substr(0, row.find(' ')).c_str())
                      .arg(entries.size())
                      .arg(entries[0].sender, entries[1].sender,
                           onShow < 0 ? "-" : entries[onShow].sender)
                      .toStdString(),
                  row);
        ASSERT_TRUE(QTest::qWaitFor([&, count = notes++] {
            return lan.Log().count("2 unread lines were dropped: the queue keeps") == count;
        }));
    }
    for (int flood = 0; flood < 300; ++flood) { // more than the 200 lines shown at once
        UdpPeer("127.0.0.3").SendTo(lan.port, line, "127.0.0.2");
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return lan.Log().contains("incoming lines were dropped"); }));
}

TEST(MainWindowTest, HostsHeardBeforeTheOwnNameIsKnownAreListedOnceAndLeave) {
    // A slow resolver: hosts speak before the broadcast entry is in the roster.
    ModalWindow window;
    LoopbackDialog& dialog = window.dialog;
    for (const char* name : {"PC3", "PC1", "PC3", "PC1"}) {
        dialog.Session().AddPeer(name, "10.0.0.1");
    }
    QStringList seen{RosterOf(dialog)};
    dialog.Session().CompleteNetworkStart("PC7");
    dialog.Session().AddPeer("PC1", "10.0.0.1");
    seen << RosterOf(dialog);
    dialog.Session().RemovePeer("PC1");
    dialog.Session().RemovePeer("PC3");
    seen << RosterOf(dialog);
    EXPECT_EQ(seen.join(" | ").toStdString(), "PC1, PC3 | *, PC1, PC3 | *");
}

TEST(MainWindowTest, AFullRosterDropsTheHostHeardFromLeastRecentlyButNeverTheChosenOne) {
    LoopbackWindow lan(true);
    for (int host = 0; host < CTavrinDlg::kMostHosts; ++host) {
        lan.dialog->Session().AddPeer("H" + std::to_string(1000 + host));
    }
    lan.dialog->roster->setCurrentIndex(1); // H1000, heard first, is chosen
    // A host that speaks from 127.0.0.3 (+) or leaves; then the hosts listed, the notes that the
    // list is full, whether a reply reaches the host (the address book holds listed hosts only),
    // and the first two hosts listed.
    for (const std::string row :
         {"+X 1024 1 1 H1000 H1002", "+h1002 1024 1 1 H1000 H1002", "+Y 1024 1 1 H1000 H1002",
          "-H1000 1023 1 0 H1002 H1004", "+Z 1024 1 1 H1002 H1004", "+W 1024 2 1 H1002 H1005"}) {
        HistoryEntry from; // with no address of its own
        from.senderBytes = row.substr(1, row.find(' ') - 1);
        row[0] == '+' ? lan.dialog->Session().AddPeer(from.senderBytes, "127.0.0.3")
                      : lan.dialog->Session().RemovePeer(from.senderBytes);
        EXPECT_EQ(QString("%1 %2 %3 %4 %5 %6")
                      .arg(row.substr(0, row.find(' ')).c_str())
                      .arg(lan.dialog->roster->count() - 1)
                      .arg(lan.Log().count("The list of hosts is full"))
                      .arg(lan.dialog->SendReply(from, "x") == SendResult::Sent)
                      .arg(lan.dialog->roster->itemText(1), lan.dialog->roster->itemText(2))
                      .toStdString(),
                  row);
    }
}

TEST(MainWindowTest, UnreadLinesAndTheOutboxComeBackAtTheNextStartFromTheHistory) {
    // Three lines came and the person skipped the second; a line to PC3 waited for its
    // receipt; the window ended. The next one queues the other two again, with where they
    // came from, unread, and sends the waiting line again: confirmed, it is delivered late.
    QTemporaryDir history;
    {
        LoopbackWindow lan(false, true, history.path());
        const UdpPeer kestrane("127.0.0.3", lan.port);
        lan.MeetKestrane(kestrane);
        for (const char* text : {"one\r\n", "two\r\n", "three\r\n"}) {
            lan.Receive(Datagram(3, "PC2", text));
        }
        lan.queue.Erase(1);
        lan.dialog->roster->setCurrentIndex(lan.Roster().split(", ").indexOf("PC3"));
        lan.MessageLine()->setText("kept");
        lan.dialog->findChild<QPushButton*>("6")->click();
        EXPECT_TRUE(kestrane.Next().ends_with("ONE kept\r\n"));
    }
    LoopbackWindow lan(false, true, history.path());
    const UdpPeer kestrane("127.0.0.3", lan.port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lan.queue.Size() == 2; }, 5000));
    QString queued;
    for (const HistoryEntry& entry : lan.queue.entries) {
        queued += entry.GetSender() + entry.GetText() + entry.senderAddress.c_str() +
                  (entry.toYou ? " to you " : " ");
    }
    // Sent to this host's own address, they stay lines to the person alone.
    EXPECT_EQ(queued, "PC2>one\r\n127.0.0.3 to you PC2>three\r\n127.0.0.3 to you ");
    EXPECT_TRUE(lan.dialog->presence->unreadPending);
    const std::string again = kestrane.Next();
    ASSERT_TRUE(again.ends_with("ONE kept\r\n"));
    lan.Confirm(again);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return lan.Shown().contains("Delivered late to PC3: \"kept\"");
    })) << lan.Shown().toStdString();
    EXPECT_TRUE(lan.Shown().contains("2 unread lines were left when Kestrane last ended"));
}

TEST(MainWindowTest, AnOfferLeavesTheKeyboardWithThePersonTyping) {
    LoopbackWindow lan(true);
    lan.dialog->activateWindow();
    lan.MessageLine()->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == lan.MessageLine(); }));
    lan.Receive(Datagram(8, "PC2", "FILES/1 OFFER " + std::string(32, 'a') + " 1 5 t\r\n"));
    ASSERT_TRUE(lan.Log().contains("PC2 offers"));
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), lan.MessageLine());
    // Waiting when the window comes back, the offer shows; the keyboard stays with the window.
    lan.dialog->HideToTray();
    lan.Click(QSystemTrayIcon::Trigger);
    const auto* view = lan.dialog->findChild<CTransfersDlg*>();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view != nullptr && view->isVisible(); }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == lan.dialog.get(); }));
}

TEST(NetworkTextTest, OneLineTextLeavesNothingThatEndsOrTurnsALine) {
    const std::pair<QString, QString> rows[] = {
        {"a\r\nb\tc\x1b[2J", "a  b c [2J"},
        {u"x\u2028y\u0085z"_qs, "x y z"},
        {u"\u202Eevil\u2066"_qs, " evil "},
        {u"caf\u00e9 <b>\u4e2d</b>"_qs, u"caf\u00e9 <b>\u4e2d</b>"_qs}};
    for (const auto& [text, line] : rows) {
        EXPECT_EQ(OneLineText(text).toStdString(), line.toStdString());
    }
}

TEST(MainWindowTest, KestraneHostsConfirmLinesShownOnceAndOtherHostsGetThemAsBefore) {
    LoopbackWindow lan(true);
    const UdpPeer kestrane("127.0.0.3", lan.port);
    const UdpPeer plain("127.0.0.4", lan.port);
    lan.MeetKestrane(kestrane);
    lan.Receive(Datagram(2, "PC4", "*** Online ***\r\n"), "127.0.0.4");
    const auto send = [&](const QString& host, const QString& line) {
        lan.dialog->roster->setCurrentIndex(lan.Roster().split(", ").indexOf(host));
        lan.MessageLine()->setText(line);
        // A line to one host is echoed before its "Sent to" line, which is marked.
        const std::uint64_t marked = lan.dialog->logText.NextLineNumber() + (host == "*" ? 0 : 1);
        lan.dialog->findChild<QPushButton*>("6")->click();
        return marked;
    };
    const auto look = [&](std::uint64_t line) { return lan.dialog->Marks().LookOf(line); };
    // A Kestrane host gets the line alone, again until it confirms it; then it is delivered.
    const std::uint64_t hi = send("PC3", "hi");
    const std::string notice = kestrane.Next();
    EXPECT_EQ(notice.substr(0, 49), Datagram(9, "PC7", "DELIVERY/1 LINE "));
    EXPECT_EQ(notice.substr(notice.size() - 8), "ONE hi\r\n");
    EXPECT_EQ(look(hi), LineLook::Pending);
    EXPECT_EQ(kestrane.Next(), notice);
    lan.Confirm(notice);
    ASSERT_TRUE(QTest::qWaitFor([&] { return look(hi) == LineLook::Delivered; }));
    static_cast<void>(Received(kestrane, "127.0.0.3")); // copies sent before the receipt came
    // A line that comes twice shows once, and is confirmed both times.
    for (int copy = 0; copy < 2; ++copy) {
        lan.Receive(Datagram(9, "PC3", "DELIVERY/1 LINE x.1 ONE yo\r\n"), "127.0.0.3");
    }
    const std::string ack = Datagram(9, "PC7", "DELIVERY/1 ACK x.1");
    EXPECT_EQ(Received(kestrane, "127.0.0.3"), ack + ack);
    EXPECT_EQ(lan.Log().count("PC3 : yo\n"), 1);
    // Another program's host gets exactly the plain line; nothing waits for it.
    EXPECT_EQ(look(send("PC4", "plain")), LineLook::NoReceipts);
    EXPECT_EQ(Received(plain, "127.0.0.4"), Datagram(4, "PC7", "plain\r\n"));
    // A Kestrane host that missed a line to everybody gets it by unicast.
    const std::uint64_t all = send("*", "all");
    EXPECT_EQ(lan.everyone.Next(), Datagram(4, "PC7", "all\r\n")); // as every host always got it
    const std::string again = kestrane.Next();
    EXPECT_EQ(again.substr(again.size() - 9), "ALL all\r\n");
    lan.Confirm(again);
    ASSERT_TRUE(QTest::qWaitFor([&] { return look(all) == LineLook::Delivered; }));
    // Unconfirmed for 10 s: not delivered, with a note; sent again, it is delivered late.
    const std::uint64_t lost = send("PC3", "lost");
    ASSERT_TRUE(QTest::qWaitFor([&] { return look(lost) == LineLook::NotDelivered; }, 12000));
    EXPECT_TRUE(lan.Log().contains("*** Not delivered to PC3: \"lost\"."));
    static_cast<void>(Received(kestrane, "127.0.0.3")); // the copies sent meanwhile
    lan.dialog->Session().Lines().SendAgain(lost);
    lan.Confirm(kestrane.Next());
    ASSERT_TRUE(QTest::qWaitFor([&] { return look(lost) == LineLook::Delivered; }));
    EXPECT_TRUE(lan.dialog->Marks().TipOf(lost).startsWith("Delivered late to PC3"));
    const QString log = lan.Log();
    EXPECT_GT(log.indexOf("*** Delivered late to PC3: \"lost\" ***"),
              log.indexOf("*** Not delivered to PC3: \"lost\"."));
}

TEST(MainWindowTest, EndingFiftyTimesWhileLinesArriveSaysGoodbyeAndTakesNoMore) {
    alarm(120); // a hang ends the run (SIGALRM) rather than stalling it
    for (int round = 0; round < 50; ++round) {
        LoopbackWindow lan(false, round % 2 == 1); // closed without a tray: it quits
        std::atomic<bool> sending{true};
        std::thread peer([&] {
            for (const UdpPeer flood("127.0.0.3"); sending;) {
                flood.SendTo(lan.port, Datagram(4, "PC2", "flood\r\n"), "127.0.0.2");
            }
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return lan.queue.Size() > 0; }));
        QTest::qWait(round % 10);
        if (round % 2 == 0) {
            lan.dialog->close(); // the close button
        } else {
            lan.dialog.reset();
        }
        const int handled = lan.queue.Size();
        EXPECT_EQ(Received(lan.everyone, "127.0.0.1"), Datagram(7, "PC7", "***Leaveing channel"));
        EXPECT_EQ(lan.queue.Size(), handled) << round;
        sending = false;
        peer.join();
    }
    alarm(0);
}

// A termination while a box of the start waits (its hello could not go out) closes the box;
// the start resumes on a whole window, which goes once the box's loop has returned.
TEST(MainWindowTest, EndedWhileAStartBoxIsUpTheWindowGoesOnceTheBoxHasReturned) {
    struct DeadLink : LoopbackDialog {
        using LoopbackDialog::LoopbackDialog;
        void StartNetwork() override {
            Session().OpenNetwork(port,
                                  "127.255.255.255"); // the kernel refuses, as with no network
            Session().CompleteNetworkStart("PC7");
        }
    };
    MessageQueue queue;
    RecordingToneSink tones;
    FakeTray tray;
    UiBridge bridge;
    const MessageBoxHook previous = SetMessageBoxHook(MakeUiMessageBoxHook(bridge));
    DeadLink dialog({queue, tones, tray, bridge, nullptr, {}, LoopbackNames, {}, {}},
                    FreeUdpPort());
    bool boxWasUp = false;
    QTimer::singleShot(0, [&] {
        boxWasUp = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
        dialog.EndSession();
    });
    dialog.show();
    EXPECT_TRUE(boxWasUp);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.IsWindowDestroyed(); }));
    SetMessageBoxHook(previous);
}

TEST(MessageDialogTest, StepsSkipsAndRepliesWalkTheQueue) {
    MessageQueue queue;
    for (const char* sender : {"PC1", "PC2", "PC3", "PC4", "PC5 <b>[*]"}) {
        HistoryEntry entry;
        entry.SetSender(sender);
        entry.senderAddress = std::string("10.0.0.") + sender[2];
        queue.Append(entry);
    }
    queue.current = 4;
    RecordingToneSink tones;
    QString replies; // the stand-in sender refuses a reply that says no
    UnreadLines unread(queue, {});
    CMessageDlg dialog(queue, unread, tones, [&](const HistoryEntry& entry, const QString& text) {
        replies += entry.senderAddress.c_str() + (" " + text);
        return text.startsWith("no") ? SendResult::Failed : SendResult::Sent;
    });
    EXPECT_EQ(unread.Count(), 4); // it opened on the newest, and only that one is seen
    auto* replyLine = dialog.findChild<QLineEdit*>("1009");
    auto* label = dialog.findChild<QLabel*>("1008");
    // Tab goes from the reply line to Hide, then to "<<".
    EXPECT_EQ(replyLine->nextInFocusChain()->nextInFocusChain(),
              dialog.findChild<QWidget*>("1010"));
    dialog.show(); // names show as they came
    EXPECT_EQ(dialog.windowHandle()->title().toStdString(), "Message from PC5 <b>[*] (5 of 5)");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    // A button, Enter or Esc, the line typed first; then the sender on show and its place,
    // the reply line and the senders left; a beep and the reply sent.
    const std::tuple<QString, QString, std::string, std::string> steps[] = {
        {"<<", "", "PC5 <b>[*] (5 of 5) [12345]", "beep"},
        {"Hide", "", "closed [12345]", ""},
        {"Esc", "", "closed [12345]", ""},
        {"Skip", "", "PC4 (4 of 4) [1234]", ""},
        {">>", "", "PC3 (3 of 4) [1234]", ""},
        {"Skip", "", "PC2 (2 of 3) [124]", ""},
        {">>", "", "PC1 (1 of 3) [124]", ""},
        {">>", "half", "PC1 (1 of 3) half [124]", "beep"},
        {"Skip", "", "PC4 (2 of 2) [24]", ""},
        {">>", "", "PC2 (1 of 2) [24]", ""},
        {"Reply", "no", "PC2 (1 of 2) no [24]", "10.0.0.2 no\r\n"},
        {"Enter", "ok", "PC4 [4]", "10.0.0.2 ok\r\n"},
        {"Reply", "yes", "closed []", "10.0.0.4 yes\r\n"}};
    for (const auto& [action, typed, shown, effect] : steps) {
        SCOPED_TRACE(action.toStdString() + " " + shown);
        const std::size_t beeps = tones.Requests().size();
        replies.clear();
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
        // The title names the line on show, as the label does, and its place.
        const QString title = dialog.windowHandle()->title();
        EXPECT_TRUE(!dialog.isVisible() || title.startsWith("Message from " + label->text()));
        const QString onShow =
            (title.mid(QString("Message from ").size()) + " " + replyLine->text()).trimmed();
        EXPECT_EQ(((dialog.isVisible() ? onShow : "closed") + " [" + left + "]").toStdString(),
                  shown);
        EXPECT_EQ(((tones.Requests().size() > beeps ? "beep" : "") + replies).toStdString(),
                  effect);
    }
}

// A screen reader can say what each control of every window made from a template is.
TEST(DialogTemplateTest, EveryControlHasAnAccessibleNameAndDescription) {
    for (const int id : {IDD_ABOUTBOX, IDD_TAVRIN_DIALOG, IDD_MESSAGE_DIALOG}) {
        QDialog dialog;
        for (QWidget* control : DialogBuilder::Build(dialog, *FindDialogTemplate(id))) {
            SCOPED_TRACE(std::to_string(id) + " " + control->objectName().toStdString());
            const QAccessibleInterface* face = QAccessible::queryAccessibleInterface(control);
            ASSERT_NE(face, nullptr);
            EXPECT_FALSE(face->text(QAccessible::Name).isEmpty());
            EXPECT_FALSE(face->text(QAccessible::Description).isEmpty());
        }
    }
}

} // namespace
} // namespace kestrane::test
