#include "tests/ui/LoopbackDialog.h"
#include "ui/CMessageDlg.h"
#include "ui/HistoryEntry.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWindow>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

const std::string kLeaving = Datagram(7, "PC7", "***Leaveing channel");

TEST(MainWindowTest, IncomingDatagramsReachLogRosterQueueTonesAndTray) {
    const std::string hostile = "<b>X</b>\a\x1b[31m";
    const QString shownHostile = QString::fromStdString(hostile);
    struct {
        bool onScreen;
        std::vector<std::string> datagrams; // from 127.0.0.3
        QString log, roster, queued;
        std::size_t chimes;
        QString tray; // the unread flag, then the icon of each of two ticks
    } const rows[] = {{true,
                       {Datagram(4, "PC2", "caf\xe9\r\n")},
                       "PC2 : caf\u00e9\n",
                       "<< Broadcast >>|PC2",
                       "PC2 >caf\u00e9\r\n 127.0.0.3",
                       0,
                       "unread 128 128"},
                      {false,
                       {Datagram(4, "PC2", "hi\r\n")},
                       "PC2 : hi\n",
                       "<< Broadcast >>|PC2",
                       "PC2 >hi\r\n 127.0.0.3",
                       1,
                       "unread 128 134"},
                      {false,
                       {Datagram(3, "PC2", "hi\r\n")},
                       "PC2 : hi\n",
                       "<< Broadcast >>|PC2",
                       "PC2 >hi\r\n 127.0.0.3",
                       1,
                       "unread 128 134"},
                      {false,
                       {Datagram(4, "PC7", "me\r\n"), Datagram(5, "PC2", "x")},
                       "",
                       "<< Broadcast >>",
                       "",
                       0,
                       "read 128 128"},
                      {false,
                       {Datagram(4, hostile, "<i>hi</i>\r\n")},
                       shownHostile + " : <i>hi</i>\n",
                       "<< Broadcast >>|" + shownHostile,
                       shownHostile + " ><i>hi</i>\r\n 127.0.0.3",
                       1,
                       "unread 128 134"},
                      {true,
                       {Datagram(2, "PC10", "x"), Datagram(2, "pc1", "x"), Datagram(2, "PC1", "x"),
                        Datagram(2, "!bang", "x"), Datagram(2, "alpha", "x"),
                        Datagram(2, "PC3", "x"), Datagram(7, "pc3", "x")},
                       "",
                       "<< Broadcast >>|!bang|alpha|pc1|PC10",
                       "",
                       0,
                       "read 128 128"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.roster.toStdString());
        LoopbackWindow lan(row.onScreen);
        lan.MessageLine()->setText("half typed");
        for (const std::string& datagram : row.datagrams) {
            lan.Receive(datagram);
        }
        QString queued;
        for (const HistoryEntry& entry : lan.queue.entries) {
            queued += entry.GetSender() + " " + entry.GetText() + " " +
                      QString::fromStdString(entry.senderAddress);
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
    lan.Receive(Datagram(4, "PC2", "hi\r\n")); // from 127.0.0.3
    lan.dialog->roster->addItem("PC7");        // listed before the own name was known
    lan.dialog->AddPeer("localhost");          // never heard from, as PC8
    lan.dialog->AddPeer("PC8");
    lan.dialog->AddPeer("PC9", "127.255.255.255"); // the kernel refuses to send there
    struct {
        std::string later; // from 127.0.0.4 once the host is chosen
        QString select, line;
        const char* to; // where the line arrives
        QString logged;
        std::string box; // how it starts
    } const rows[] = {
        {"", "<< Broadcast >>", "to all", "127.0.0.1", "Sent BROADCAST message : to all\n", ""},
        {"", "PC2", "to two", "127.0.0.3", "to two\nSent to PC2: to two\n", ""},
        {"", "<< Broadcast >>", "again", "127.0.0.1", "Sent BROADCAST message : again\n", ""},
        {Datagram(2, "pc2", "x"), "PC2", "moved", "127.0.0.4",
         "*** pc2 now speaks from 127.0.0.4, no longer from 127.0.0.3 ***\nmoved\nSent to PC2: "
         "moved\n",
         ""},
        {"", "PC7", "to me", "", "PC7 : to me\nSent to PC7: to me\n", ""},
        {"", "localhost", "found", "127.0.0.1", "found\nSent to localhost: found\n", ""},
        {"", "PC8", "lost", "", "", "PC8 cannot be reached"},
        {"", "PC9", "lost", "", "Not sent to PC9: lost\n", "IPORT Error."},
        {"", "<< Broadcast >>", QString(5000, 'x'), "", "", "This line is too long"},
        {Datagram(7, "PC9", "x"), "PC9", "lost", "", "", "Choose who gets the line"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.select.toStdString() + ": " + row.line.left(9).toStdString());
        lan.boxes.clear();
        lan.dialog->roster->setCurrentIndex(lan.dialog->roster->findText(row.select));
        const QString logBefore = lan.Log();
        if (!row.later.empty()) {
            lan.Receive(row.later, "127.0.0.4");
        }
        lan.MessageLine()->setText(row.line);
        lan.dialog->findChild<QPushButton*>("6")->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return lan.Log() != logBefore || !lan.boxes.empty(); }));
        EXPECT_EQ(lan.Log().mid(logBefore.size()), row.logged);
        EXPECT_EQ(lan.boxes.substr(0, row.box.empty() ? std::string::npos : row.box.size()),
                  row.box);
        EXPECT_EQ(lan.MessageLine()->text(), row.box.empty() ? "" : row.line);
        for (const auto& [peer, address] :
             {std::pair<const UdpPeer*, const char*>{&lan.everyone, "127.0.0.1"},
              {&three, "127.0.0.3"},
              {&four, "127.0.0.4"}}) {
            EXPECT_EQ(Received(*peer, address),
                      row.to == std::string(address)
                          ? Datagram(4, "PC7", row.line.toStdString() + "\r\n")
                          : "")
                << address;
        }
    }
    // A reply goes where its line came from, though PC2 has moved since.
    EXPECT_EQ(lan.dialog->SendReply(lan.queue.entries[0], "re\r\n"), SendResult::Sent);
    EXPECT_EQ(Received(three, "127.0.0.3"), Datagram(4, "PC7", "re\r\n"));
}

TEST(MainWindowTest, TrayBlinksAndItsClicksShowTheWindowOrTheNewestLineInPlainText) {
    LoopbackWindow lan;
    const QString hostile = "<b>PC3</b>[*]\a";
    lan.Receive(Datagram(4, "PC2", "one\r\n"));
    lan.Receive(Datagram(4, hostile.toStdString(), "two\r\n"));
    lan.dialog->OnTimer();
    const QImage normal = lan.tray.Icon().icon().pixmap(16).toImage();
    lan.dialog->OnTimer();
    EXPECT_EQ(lan.tray.ShownIconId(), 134);
    EXPECT_NE(lan.tray.Icon().icon().pixmap(16).toImage(), normal);
    QString opened;
    QTimer::singleShot(0, [&] {
        if (auto* message = dynamic_cast<CMessageDlg*>(QApplication::activeModalWidget())) {
            const auto* label = message->findChild<QLabel*>("1008");
            opened = label->text() +
                     (label->textFormat() == Qt::PlainText ? " plain, " : " rich, ") +
                     message->windowHandle()->title();
            message->reject();
        }
    });
    emit lan.tray.Icon().activated(QSystemTrayIcon::Context);
    EXPECT_EQ(opened, hostile + " plain, Message from " + hostile);
    EXPECT_TRUE(lan.dialog->hidden);
    EXPECT_FALSE(lan.dialog->unreadPending);

    lan.Receive(Datagram(4, "PC2", "three\r\n"));
    EXPECT_TRUE(lan.dialog->unreadPending);
    emit lan.tray.Icon().activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(lan.dialog->isVisible() && !lan.dialog->hidden && !lan.dialog->unreadPending);

    lan.dialog->HideToTray();
    lan.queue.entries.clear();
    emit lan.tray.Icon().activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(lan.dialog->isVisible() && !lan.dialog->hidden);
    EXPECT_EQ(lan.tray.Icon().toolTip(), "Kestrane");
}

TEST(MainWindowTest, EndingTheSessionEndsAnOpenAboutBoxAndTheWindow) {
    WithinSeconds(30, [] {
        LoopbackWindow lan(true);
        // The first opens the About box; the second runs inside its loop.
        QTimer::singleShot(0, [&] { lan.dialog->OnSysCommand(CTavrinDlg::IDM_ABOUTBOX); });
        QTimer::singleShot(0, [&] { lan.dialog->EndSession(); });
        EXPECT_EQ(lan.dialog->DoModal(), QDialog::Rejected);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(Received(lan.everyone, "127.0.0.1"), kLeaving);
    });
}

TEST(MainWindowTest, EndingFiftyTimesWhileLinesArriveSaysGoodbyeAndTakesNoMore) {
    WithinSeconds(120, [] {
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
            } else {
                lan.dialog.reset();
            }
            const int handled = lan.queue.Size();
            EXPECT_EQ(Received(lan.everyone, "127.0.0.1"), kLeaving) << round;
            EXPECT_EQ(lan.queue.Size(), handled) << round;
            sending = false;
            peer.join();
        }
    });
}

} // namespace
} // namespace kestrane::test
