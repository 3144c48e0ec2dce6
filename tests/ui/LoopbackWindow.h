#pragma once

#include "core/threads/UiBridge.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "platform/MessageBox.h"
#include "tests/support/Fakes.h"
#include "tests/support/Lan.h"
#include "ui/CTavrinDlg.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>

namespace kestrane::test {

// The main window as PC7 on loopback: peers reach its listener through 127.0.0.2, its
// "broadcasts" go to 127.0.0.1, and its message dialog is only counted.
struct LoopbackDialog : CTavrinDlg {
    LoopbackDialog(Services windowServices, int loopbackPort)
        : CTavrinDlg(std::move(windowServices)), port(loopbackPort) {}
    void StartNetwork() override {
        Session().OpenNetwork(port, "127.0.0.1");
        Session().CompleteNetworkStart("PC7");
    }
    void RunMessageDialog() override {
        ++messageDialogRuns;
        reading();
    }
    const int port;
    int messageDialogRuns = 0;
    std::function<void()> reading = [] {}; // what the person does in the message dialog
};

inline std::optional<std::string> LoopbackNames(const std::string& name) {
    return name == "localhost" ? std::optional<std::string>("127.0.0.1") : std::nullopt;
}

// The names in the roster, the broadcast entry as "*": the list the combo box
// shows once the window is, and that the session keeps before.
inline QString RosterOf(CTavrinDlg& dialog) {
    const HostRoster& hosts = dialog.Session().Hosts();
    QStringList names;
    for (int row = 0; row < hosts.rowCount(); ++row) {
        names << hosts.data(hosts.index(row), Qt::DisplayRole).toString();
    }
    return names.join(", ").replace("<< Broadcast >>", "*");
}

// How a LoopbackWindow starts.
struct LoopbackStart {
    bool onScreen = false;
    bool trayAvailable = true;
    QString history; // where the window keeps its history; empty: none
    std::optional<QDBusConnection> desktopBus;
    bool behindIcon = false; // as the program starts behind a tray: never shown, no tick yet
};

// A LoopbackDialog, started, in the tray unless `onScreen`, with what it uses: `everyone`
// on 127.0.0.1, a resolver that knows only localhost, boxes recorded, ticks only on call.
struct LoopbackWindow {
    // With a `history` folder, the window keeps its history there.
    explicit LoopbackWindow(bool onScreen = false, bool trayAvailable = true, QString history = {})
        : LoopbackWindow(LoopbackStart{onScreen, trayAvailable, std::move(history), {}, false}) {}
    explicit LoopbackWindow(LoopbackStart start)
        : historyFolder(std::move(start.history)), desktopBus(std::move(start.desktopBus)) {
        everyone.Ignore(9); // heartbeats and requests for receipts, by broadcast
        tray.available = start.trayAvailable;
        // It shows what it opens on.
        dialog->reading = [this] { dialog->Session().Unread().Shown(queue.current); };
        dialog->presence->hideOnFirstTick = !start.onScreen;
        if (start.behindIcon) {
            dialog->StartBehindIcon();
            EXPECT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
            return;
        }
        dialog->show();
        EXPECT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
        dialog->presence->OnTimer(); // the first tick puts it in the tray unless on screen
    }
    ~LoopbackWindow() {
        dialog.reset();
        SetMessageBoxHook(previousHook);
    }
    void Click(QSystemTrayIcon::ActivationReason reason) {
        emit tray.Icon().activated(reason);
        QCoreApplication::processEvents();
    }
    // Returns once `datagram` from `from` is handled: our hello sent behind it is answered.
    void Receive(const std::string& datagram, const char* from = "127.0.0.3") {
        const UdpPeer peer(from);
        peer.SendTo(port, datagram, "127.0.0.2");
        peer.SendTo(port, Datagram(1, "PC7", "ILIVE"), "127.0.0.2");
        EXPECT_EQ(everyone.Next(), Datagram(2, "PC7", "*** Online ***\r\n"));
        QCoreApplication::processEvents(); // the bridge's wake-up is pending by then
        ticking = dialog->presence->timer.isActive();
        dialog->presence->timer.stop(); // ticks come from the test
    }
    // The log control, once it shows the log: it is written a frame after the log.
    QString Log() const {
        const QPlainTextEdit* edit = dialog->findChild<QPlainTextEdit*>("1000");
        static_cast<void>(QTest::qWaitFor([&] { return edit->toPlainText() == Shown(); }, 1000));
        return edit->toPlainText();
    }
    QString Shown() const {
        return QString(dialog->logText.Text()).replace("\r\n", "\n").replace('\r', '\n');
    }
    QLineEdit* MessageLine() const { return dialog->findChild<QLineEdit*>("1001"); }
    QString Roster() const { return RosterOf(*dialog); }
    // PC3, at 127.0.0.3, says it speaks DELIVERY/1 and answers the probe that checks it there.
    void MeetKestrane(const UdpPeer& pc3) {
        Receive(Datagram(9, "PC3", "DELIVERY/1 PRESENT"), "127.0.0.3");
        EXPECT_EQ(pc3.Next(), Datagram(9, "PC7", "DELIVERY/1 PROBE"));
        Receive(Datagram(9, "PC3", "DELIVERY/1 PRESENT"), "127.0.0.3");
    }
    // PC3, at 127.0.0.3, confirms the line whose notice it got.
    void Confirm(const std::string& notice) {
        const std::size_t id = 33 + 16; // past the name field and "DELIVERY/1 LINE "
        const std::string ack = "DELIVERY/1 ACK " + notice.substr(id, notice.find(' ', id) - id);
        Receive(Datagram(9, "PC3", ack), "127.0.0.3");
    }

    int port = FreeUdpPort();
    bool ticking = false; // the timer ran after the last reception
    UdpPeer everyone{"127.0.0.1", port};
    MessageQueue queue;
    RecordingToneSink tones;
    FakeTray tray;
    UiBridge bridge;
    QString historyFolder;
    std::optional<QDBusConnection> desktopBus;
    std::string boxes;
    MessageBoxHook previousHook =
        SetMessageBoxHook([this](const std::string& text, const std::string&) { boxes += text; });
    std::unique_ptr<LoopbackDialog> dialog = std::make_unique<LoopbackDialog>(
        CTavrinDlg::Services{
            queue, tones, tray, bridge, nullptr, {}, LoopbackNames, historyFolder, desktopBus},
        port);
};

} // namespace kestrane::test
