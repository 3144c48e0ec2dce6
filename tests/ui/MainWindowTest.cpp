#include "tests/ui/LoopbackDialog.h"
#include "ui/HistoryEntry.h"

#include <QApplication>
#include <QPushButton>

namespace kestrane::test {
namespace {

const std::string kLeaving = Datagram(7, "PC7", "***Leaveing channel");

TEST(MainWindowTest, IncomingLinesReachLogRosterQueueTonesAndTray) {
    struct Row {
        bool onScreen;
        std::string datagram; // from 127.0.0.3
        QString log, roster, queued;
        std::size_t chimes;
        QString tray; // the unread flag, then the icon after each of two ticks
    };
    const Row rows[] = {{true, Datagram(3, "PC2", "caf\xe9\r\n"), "PC2 : caf\u00e9\n", "*|PC2",
                         "PC2 >caf\u00e9\r\n 127.0.0.3", 0, "unread 128 128"},
                        {false, Datagram(4, "<b>X</b>\a", "<i>hi</i>\r\n"),
                         "<b>X</b>\a : <i>hi</i>\n", "*|<b>X</b>\a",
                         "<b>X</b>\a ><i>hi</i>\r\n 127.0.0.3", 1, "unread 128 134"},
                        {false, Datagram(4, "PC7", "mine\r\n"), "", "*", "", 0, "read 128 128"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.datagram);
        LoopbackWindow lan(row.onScreen);
        lan.MessageLine()->setText("half typed");
        lan.Receive(row.datagram);
        QString queued;
        for (const HistoryEntry& entry : lan.queue.entries) {
            queued += entry.GetSender() + " " + entry.GetText() + " " + entry.senderAddress.c_str();
        }
        QString tray = lan.dialog->unreadPending ? "unread" : "read";
        for (int tick = 0; tick < 2; ++tick) {
            lan.dialog->OnTimer();
            tray += " " + QString::number(lan.tray.ShownIconId());
        }
        EXPECT_EQ(lan.Log(), row.log);
        EXPECT_EQ(lan.Roster(), row.roster);
        EXPECT_EQ(queued, row.queued);
        EXPECT_EQ(lan.tones.Requests(), std::vector(row.chimes, kChime));
        EXPECT_EQ(tray, row.tray);
        EXPECT_EQ(lan.MessageLine()->text(), "half typed");
    }
}

TEST(MainWindowTest, LinesGoWhereTheHostLastSpokeFromOrStayTypedWithAReason) {
    LoopbackWindow lan(true);
    const UdpPeer three("127.0.0.3", lan.port);
    const UdpPeer four("127.0.0.4", lan.port);
    lan.Receive(Datagram(4, "PC2", "hi\r\n"));
    lan.dialog->roster->addItem("PC7"); // listed before the own name was known
    for (const char* unheard : {"PC9", "localhost", "!bang"}) {
        lan.dialog->AddPeer(unheard);
    }
    lan.dialog->AddPeer("PC8", "127.255.255.255"); // the kernel refuses to send there
    EXPECT_EQ(lan.Roster(), "*|!bang|localhost|PC2|PC7|PC8|PC9");
    struct Row {
        std::string later; // from 127.0.0.4 once the host is chosen
        QString select, line;
        std::string to;  // where the line arrives
        QString logged;  // what the log gains
        std::string box; // how it starts
    };
    const Row rows[] = {
        {"", "*", "to all", "127.0.0.1", "Sent BROADCAST message : to all\n", ""},
        {"", "PC2", "to two", "127.0.0.3", "to two\nSent to PC2: to two\n", ""},
        {"", "*", "again", "127.0.0.1", "Sent BROADCAST message : again\n", ""},
        {Datagram(2, "pc2", "x"), "PC2", "moved", "127.0.0.4",
         "*** pc2 now speaks from 127.0.0.4, no longer from 127.0.0.3 ***\nmoved\n"
         "Sent to PC2: moved\n",
         ""},
        {"", "PC7", "to me", "", "PC7 : to me\nSent to PC7: to me\n", ""},
        {"", "localhost", "found", "127.0.0.1", "found\nSent to localhost: found\n", ""},
        {"", "!bang", "lost", "", "", "!bang cannot be reached"},
        {"", "PC8", "lost", "", "Not sent to PC8: lost\n", "IPORT Error."},
        {"", "*", QString(5000, 'x'), "", "", "This line is too long"},
        {Datagram(7, "pc9", "x"), "PC9", "lost", "", "", "Choose who gets the line"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.select.toStdString() + ": " + row.line.left(9).toStdString());
        lan.boxes.clear();
        lan.dialog->roster->setCurrentIndex(lan.Roster().split('|').indexOf(row.select));
        const QString logBefore = lan.Log();
        if (!row.later.empty()) {
            lan.Receive(row.later, "127.0.0.4");
        }
        lan.MessageLine()->setText(row.line);
        lan.dialog->findChild<QPushButton*>("6")->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return lan.Log() != logBefore || !lan.boxes.empty(); }));
        EXPECT_EQ(lan.Log().mid(logBefore.size()), row.logged);
        EXPECT_EQ(lan.boxes.substr(0, row.box.empty() ? lan.boxes.size() : row.box.size()),
                  row.box);
        EXPECT_EQ(lan.MessageLine()->text(), row.box.empty() ? "" : row.line);
        const std::string sent = Datagram(4, "PC7", row.line.toStdString() + "\r\n");
        EXPECT_EQ(Received(lan.everyone, "127.0.0.1"), row.to == "127.0.0.1" ? sent : "");
        EXPECT_EQ(Received(three, "127.0.0.3"), row.to == "127.0.0.3" ? sent : "");
        EXPECT_EQ(Received(four, "127.0.0.4"), row.to == "127.0.0.4" ? sent : "");
    }
    // A reply goes where its line came from, though PC2 has moved since.
    EXPECT_EQ(lan.dialog->SendReply(lan.queue.entries[0], "re\r\n"), SendResult::Sent);
    EXPECT_EQ(Received(three, "127.0.0.3"), Datagram(4, "PC7", "re\r\n"));
}

TEST(MainWindowTest, TrayBlinksAndItsClicksShowTheWindowOrTheNewestLine) {
    LoopbackWindow lan;
    lan.Receive(Datagram(4, "PC2", "one\r\n"));
    lan.Receive(Datagram(4, "<b>PC3</b>", "two\r\n"));
    lan.dialog->OnTimer();
    const QImage normal = lan.tray.Icon().icon().pixmap(16).toImage();
    lan.dialog->OnTimer();
    EXPECT_EQ(lan.tray.ShownIconId(), 134);
    EXPECT_NE(lan.tray.Icon().icon().pixmap(16).toImage(), normal);
    EXPECT_EQ(lan.tray.Icon().toolTip(), "Kestrane");
    emit lan.tray.Icon().activated(QSystemTrayIcon::Context);
    EXPECT_EQ(lan.dialog->messageDialogRuns, 1);
    EXPECT_EQ(lan.queue.current, 1);
    EXPECT_TRUE(lan.dialog->hidden && !lan.dialog->unreadPending);
    lan.Receive(Datagram(4, "PC2", "three\r\n"));
    EXPECT_TRUE(lan.dialog->unreadPending);
    emit lan.tray.Icon().activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(lan.dialog->isVisible() && !lan.dialog->hidden && !lan.dialog->unreadPending);
    lan.dialog->HideToTray();
    lan.queue.entries.clear();
    emit lan.tray.Icon().activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(lan.dialog->isVisible() && !lan.dialog->hidden);
    EXPECT_EQ(lan.dialog->messageDialogRuns, 1);
}

TEST(MainWindowTest, EndingFiftyTimesWhileLinesArriveSaysGoodbyeAndTakesNoMore) {
    const Watchdog watchdog(120);
    for (int round = 0; round < 50; ++round) {
        LoopbackWindow lan;
        std::atomic<bool> sending{true};
        std::thread peer([&] {
            // Hosts coming online keep the window busy once lines go over budget.
            const UdpPeer flood("127.0.0.3");
            while (sending) {
                flood.SendTo(lan.port, Datagram(4, "PC2", "flood\r\n"), "127.0.0.2");
                flood.SendTo(lan.port, Datagram(2, "PC3", "x"), "127.0.0.2");
            }
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return lan.queue.Size() > 0; }));
        QTest::qWait(round % 10);
        if (round % 2 == 0) {
            lan.dialog->close(); // the close button
        } else if (round % 4 == 1) {
            lan.dialog.reset();
        } else { // the session ends with the About box open: the second runs inside its loop
            QTimer::singleShot(0, [&] { lan.dialog->OnSysCommand(CTavrinDlg::IDM_ABOUTBOX); });
            QTimer::singleShot(0, [&] { lan.dialog->EndSession(); });
            EXPECT_EQ(lan.dialog->DoModal(), QDialog::Rejected);
            EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        }
        const int handled = lan.queue.Size();
        EXPECT_EQ(Received(lan.everyone, "127.0.0.1"), kLeaving) << round;
        EXPECT_EQ(lan.queue.Size(), handled) << round;
        sending = false;
        peer.join();
    }
}

TEST(UiBridgeTest, CallsRunInOrderAndClosingReleasesTheWaitingOnesUnrun) {
    const Watchdog watchdog(60);
    for (int round = 0; round < 20; ++round) {
        UiBridge bridge;
        std::vector<int> ran;         // caller * 1000 + step, odd steps being calls; UI thread only
        std::atomic<int> reported{0}; // calls that said they ran
        std::vector<std::thread> callers;
        for (int caller = 0; caller < 4; ++caller) {
            callers.emplace_back([&, caller] {
                for (int step = caller * 1000; step < caller * 1000 + 100; step += 2) {
                    bridge.Post([&ran, step] { ran.push_back(step); });
                    reported += bridge.Call([&ran, step] { ran.push_back(step + 1); }) ? 1 : 0;
                }
            });
        }
        // Serve some, then close while the UI thread serves no more.
        EXPECT_TRUE(QTest::qWaitFor([&] { return ran.size() > round * 4U; }));
        bridge.Close();
        for (std::thread& caller : callers) {
            caller.join();
        }
        std::vector<int> last(4, -1);
        int calls = 0;
        for (const int step : ran) {
            EXPECT_GT(step, std::exchange(last[step / 1000], step));
            calls += step % 2;
        }
        EXPECT_EQ(calls, reported.load());
    }
}

} // namespace
} // namespace kestrane::test
