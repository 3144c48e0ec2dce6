#include "platform/MessageBox.h"
#include "port/port.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/RecordingToneSink.h"
#include "tests/ui/LoopbackDialog.h"
#include "ui/CTavrinDlg.h"
#include "ui/HistoryEntry.h"
#include "ui/MessageQueue.h"
#include "ui/TrayIcon.h"
#include "ui/UiBridge.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrane::test {
namespace {

std::string Datagram(char type, const std::string& name, const std::string& text) {
    return std::string(1, type) + std::string(32 - name.size(), ' ') + name + text;
}

// Stands in for everybody on the LAN. The window's listener is bound to all
// addresses on the test's port; this socket, bound to 127.0.0.1 on the same
// port, is more specific and so takes what the window "broadcasts" there and
// sends to localhost. Peers reach the window's listener through 127.0.0.2.
class LanObserver {
public:
    explicit LanObserver(int port, const char* host = "127.0.0.1")
        : descriptor(socket(AF_INET, SOCK_DGRAM, 0)) {
        int enable = 1;
        setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
        sockaddr_in address = LoopbackAddress(host, port);
        bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~LanObserver() { close(descriptor); }
    LanObserver(const LanObserver&) = delete;
    LanObserver& operator=(const LanObserver&) = delete;

    /// The next datagram, handling the UI's events while it waits; empty on time-out.
    std::string Next(int milliseconds = 2000) {
        for (int waited = 0; waited < milliseconds; waited += 10) {
            pollfd watched{descriptor, POLLIN, 0};
            if (poll(&watched, 1, 0) == 1) {
                std::string bytes(4096, '\0');
                ssize_t count = recv(descriptor, bytes.data(), bytes.size(), 0);
                bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
                return bytes;
            }
            QTest::qWait(10);
        }
        return {};
    }

private:
    int descriptor;
};

class NoTray : public TrayIcon {
public:
    bool IsAvailable() const override { return false; }
};

class NetworkWindowTest : public testing::Test {
protected:
    void SetUp() override {
        previousHook = SetMessageBoxHook(
            [this](const std::string& text, const std::string&) { boxes.push_back(text); });
        Open();
    }
    void TearDown() override {
        dialog.reset();
        SetMessageBoxHook(previousHook);
    }

    void Open() {
        dialog = std::make_unique<LoopbackDialog>(queue, tones, tray, *bridge, port);
        dialog->timer.stop();
        dialog->show();
        ASSERT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
    }

    void Type(const QString& line) {
        dialog->findChild<QLineEdit*>("1001")->setText(line);
        dialog->findChild<QPushButton*>("6")->click();
    }
    QString Typed() { return dialog->findChild<QLineEdit*>("1001")->text(); }
    QStringList Roster() {
        QStringList names;
        for (int index = 0; index < dialog->roster->count(); ++index) {
            names << dialog->roster->itemText(index);
        }
        return names;
    }

    int port = FreeUdpPort();
    LanObserver everyone{port};
    MessageQueue queue;
    RecordingToneSink tones;
    NoTray tray;
    std::unique_ptr<UiBridge> bridge = std::make_unique<UiBridge>();
    std::vector<std::string> boxes;
    MessageBoxHook previousHook;
    std::unique_ptr<LoopbackDialog> dialog;
};

TEST_F(NetworkWindowTest, NetworkStartsOnceWithTheBroadcastEntrySelected) {
    dialog->hide();
    dialog->show();
    EXPECT_EQ(everyone.Next(300), "");
    EXPECT_EQ(Roster(), QStringList{"<< Broadcast >>"});
    EXPECT_EQ(dialog->roster->currentIndex(), 0);
    EXPECT_EQ(dialog->ownName, "PC7");
}

TEST_F(NetworkWindowTest, SendTableLogsWhatWentWhere) {
    Type("to all");
    EXPECT_EQ(everyone.Next(), Datagram(4, "PC7", "to all\r\n"));

    // A host never heard from is looked up first; the line goes once it is found.
    dialog->AddPeer("localhost");
    dialog->roster->setCurrentIndex(1);
    Type("to one");
    EXPECT_EQ(Typed(), "to one");
    EXPECT_EQ(everyone.Next(), Datagram(4, "PC7", "to one\r\n"));

    dialog->roster->addItem("PC7"); // listed before the own name was known
    dialog->roster->setCurrentIndex(dialog->roster->count() - 1);
    Type("to me");
    EXPECT_EQ(everyone.Next(300), "");

    EXPECT_EQ(dialog->logText.Text(), "Sent BROADCAST message : to all\r\n"
                                      "to one\r\nSent to localhost: to one\r\n"
                                      "PC7 : to me\r\nSent to PC7: to me\r\n");
    EXPECT_TRUE(Typed().isEmpty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(NetworkWindowTest, LinesThatCannotGoStayTypedWithAClearReason) {
    dialog->roster->setCurrentIndex(-1);
    Type("nobody chosen");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("Choose who gets the line"), std::string::npos);
    EXPECT_EQ(Typed(), "nobody chosen");

    dialog->roster->setCurrentIndex(0);
    const QString tooLong(5000, 'x');
    Type(tooLong);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].find("too long"), std::string::npos);
    EXPECT_EQ(Typed(), tooLong);

    dialog->AddPeer("PC9", "255.255.255.255"); // no permission to broadcast there
    dialog->roster->setCurrentIndex(1);
    Type("lost");
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2], "IPORT Error.");
    EXPECT_EQ(Typed(), "lost");
    EXPECT_EQ(dialog->logText.Text(), "Not sent to PC9: lost\r\n");

    dialog->AddPeer("PC8"); // never heard from, and the name does not resolve
    dialog->roster->setCurrentIndex(1);
    Type("lost");
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxes.size() == 4; }));
    EXPECT_NE(boxes[3].find("PC8 cannot be reached"), std::string::npos) << boxes[3];
    EXPECT_EQ(Typed(), "lost");

    dialog->roster->setCurrentIndex(0);
    Type("marker");
    EXPECT_EQ(everyone.Next(), Datagram(4, "PC7", "marker\r\n")) << "nothing else went out";
}

TEST_F(NetworkWindowTest, LinesAndRepliesGoWhereTheSenderSpokeFrom) {
    LanObserver first(port, "127.0.0.3");
    LanObserver second(port, "127.0.0.4");
    SendToWindow(port, Datagram(4, "PC2", "from three\r\n"), "127.0.0.3");
    SendToWindow(port, Datagram(4, "", "nameless\r\n"), "127.0.0.3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return queue.Size() == 2; }));
    dialog->roster->setCurrentIndex(1);
    Type("to two");
    EXPECT_EQ(first.Next(), Datagram(4, "PC7", "to two\r\n"));

    // The name moves: the log says so, lines follow it, and a queued line is
    // answered where it came from.
    SendToWindow(port, Datagram(1, "pc2", "ILIVE"), "127.0.0.4");
    EXPECT_EQ(everyone.Next(), Datagram(2, "PC7", "*** Online ***\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->logText.Text().contains("now speaks"); }));
    EXPECT_TRUE(dialog->logText.Text().endsWith(
        "*** pc2 now speaks from 127.0.0.4, no longer from 127.0.0.3 ***\r\n"));
    Type("followed");
    EXPECT_EQ(second.Next(), Datagram(4, "PC7", "followed\r\n"));
    EXPECT_EQ(dialog->SendReply(queue.entries[0], QStringLiteral("re\r\n")), SendResult::Sent);
    EXPECT_EQ(dialog->SendReply(queue.entries[1], QStringLiteral("anon\r\n")), SendResult::Sent);
    EXPECT_EQ(first.Next(), Datagram(4, "PC7", "re\r\n"));
    EXPECT_EQ(first.Next(), Datagram(4, "PC7", "anon\r\n"));
    EXPECT_EQ(dialog->SendReply(HistoryEntry(), QStringLiteral("x\r\n")), SendResult::Unreachable);
    EXPECT_EQ(dialog->roster->count(), 2);
}

TEST_F(NetworkWindowTest, PeersComeAndGoFromTheWire) {
    SendToWindow(port, Datagram(4, "PC2", "hello\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return queue.Size() == 1; }));
    EXPECT_EQ(Roster(), (QStringList{"<< Broadcast >>", "PC2"}));
    EXPECT_EQ(dialog->logText.Text(), "PC2 : hello\r\n");

    SendToWindow(port, Datagram(1, "PC3", "ILIVE"));
    EXPECT_EQ(everyone.Next(), Datagram(2, "PC7", "*** Online ***\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->roster->count() == 3; }));

    SendToWindow(port, Datagram(7, "PC2", "***Leaveing channel"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return Roster() == QStringList{"<< Broadcast >>", "PC3"};
    })) << Roster().join(", ").toStdString();
}

TEST_F(NetworkWindowTest, RosterMatchesWholeNamesInAnyCaseAndKeepsBroadcastFirst) {
    for (const char* name : {"PC10", "PC1", "pc1", "alpha", "1A", "Beta", "!bang", "", "PC7"}) {
        dialog->AddPeer(name);
    }
    EXPECT_EQ(Roster(),
              (QStringList{"<< Broadcast >>", "!bang", "1A", "alpha", "Beta", "PC1", "PC10"}));
    dialog->RemovePeer("pc1");
    dialog->RemovePeer("<< broadcast >>");
    EXPECT_EQ(Roster(), (QStringList{"<< Broadcast >>", "!bang", "1A", "alpha", "Beta", "PC10"}));
}

TEST_F(NetworkWindowTest, SelectedHostLeavingLeavesNoSelection) {
    dialog->AddPeer("PC2");
    dialog->AddPeer("PC3");
    dialog->roster->setCurrentIndex(1);
    dialog->RemovePeer("PC2");
    EXPECT_EQ(dialog->roster->currentIndex(), -1);
}

TEST_F(NetworkWindowTest, DestroyedWindowSaysGoodbyeAndIgnoresTheRoster) {
    dialog->DestroyWindow();
    EXPECT_EQ(everyone.Next(), Datagram(7, "PC7", "***Leaveing channel"));
    dialog->AddPeer("PC2");
    EXPECT_EQ(dialog->roster->count(), 1);
}

TEST(NetworkWindowEnding, ASignalEndsTheProgramWithoutABoxNobodyCouldAnswer) {
    std::vector<std::string> boxes;
    MessageBoxHook previous = SetMessageBoxHook(
        [&](const std::string& text, const std::string&) { boxes.push_back(text); });
    MessageQueue queue;
    RecordingToneSink tones;
    NoTray tray;
    UiBridge bridge;
    // Broadcasts that cannot go out, as on a machine without a network.
    LoopbackDialog dialog(queue, tones, tray, bridge, FreeUdpPort(), "255.255.255.255");
    dialog.timer.stop();
    dialog.show();
    EXPECT_EQ(boxes, std::vector<std::string>{"IPORT Error."}); // the hello
    dialog.EndSession();
    EXPECT_TRUE(dialog.IsWindowDestroyed());
    EXPECT_EQ(boxes.size(), 1u) << "the leaving notice must not wait on a box";
    SetMessageBoxHook(previous);
}

TEST(NetworkWindowStress, EndingTheWindowWhileLinesArriveNeverHangs) {
    MessageQueue queue;
    RecordingToneSink tones;
    NoTray tray;
    MessageBoxHook previous = SetMessageBoxHook([](const std::string&, const std::string&) {});
    for (int round = 0; round < 50; ++round) {
        const int port = FreeUdpPort();
        LanObserver everyone(port);
        UiBridge bridge;
        auto dialog = std::make_unique<LoopbackDialog>(queue, tones, tray, bridge, port);
        dialog->timer.stop();
        dialog->show();
        std::atomic<bool> sending{true};
        std::thread peer([&] {
            // Online answers keep the dispatcher calling the window once the
            // lines are beyond what it admits.
            const std::string line = Datagram(4, "PC2", "flood\r\n");
            const std::string answer = Datagram(2, "PC3", "*** Online ***\r\n");
            while (sending) {
                SendToWindow(port, line);
                SendToWindow(port, answer);
            }
        });
        // Lines are arriving and being handled when the window ends, by its
        // close button every other round.
        const int before = queue.Size();
        EXPECT_TRUE(QTest::qWaitFor([&] { return queue.Size() > before; }, 5000));
        QTest::qWait(round);
        if (round % 2 == 0) {
            dialog->close();
            EXPECT_TRUE(dialog->IsWindowDestroyed());
        }
        dialog.reset();
        sending = false;
        peer.join();
    }
    SetMessageBoxHook(previous);
}

} // namespace
} // namespace kestrane::test
