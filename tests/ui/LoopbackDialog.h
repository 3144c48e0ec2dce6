#pragma once

#include "platform/MessageBox.h"
#include "tests/support/Fakes.h"
#include "ui/CTavrinDlg.h"
#include "ui/MessageQueue.h"
#include "ui/UiBridge.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

// Lan.h drops the [[nodiscard]] result of QTest::qWaitFor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-result"
#include "tests/support/Lan.h"
#pragma GCC diagnostic pop

QT_BEGIN_NAMESPACE
void PrintTo(const QString& text, std::ostream* out); // with the tests' main
QT_END_NAMESPACE

namespace kestrane::test {

/// What `peer`, bound to `address`, got before a marker sent to it now.
inline std::string Received(const UdpPeer& peer, const char* address) {
    UdpPeer().SendTo(peer.Port(), "marker", address);
    std::string got, next;
    while ((next = peer.Next()) != "marker" && !next.empty()) {
        got += next;
    }
    return next.empty() ? "<no marker>" : got;
}

/// Ends the run (SIGALRM) when a test hangs, rather than letting it stall.
struct Watchdog {
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

/// The main window as PC7 on loopback: its listener takes `port` on every
/// address (peers reach it through 127.0.0.2), its "broadcasts" go to
/// 127.0.0.1 on that port, and the message dialog is only counted.
class LoopbackDialog : public CTavrinDlg {
public:
    LoopbackDialog(Services windowServices, int loopbackPort)
        : CTavrinDlg(std::move(windowServices)), port(loopbackPort) {}
    int messageDialogRuns = 0;

protected:
    void StartNetwork() override {
        OpenNetwork(port, "127.0.0.1");
        CompleteNetworkStart("PC7");
    }
    void RunMessageDialog() override { ++messageDialogRuns; }

private:
    int port;
};

/// A LoopbackDialog, started and in the tray (or `onScreen`), with what it uses:
/// `everyone` on 127.0.0.1, a resolver that knows only localhost, message boxes
/// recorded rather than shown, and ticks only when a test calls OnTimer.
struct LoopbackWindow {
    explicit LoopbackWindow(bool onScreen = false) {
        dialog->timer.stop();
        dialog->hideOnFirstTick = !onScreen;
        dialog->show();
        EXPECT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
        if (!onScreen) {
            dialog->OnTimer();
        }
    }
    ~LoopbackWindow() {
        dialog.reset();
        SetMessageBoxHook(previousHook);
    }
    /// Sends `datagram` from `from` and returns once the window has handled
    /// it: our own hello behind it is answered, then the UI thread runs what
    /// the listener handed it before.
    void Receive(const std::string& datagram, const char* from = "127.0.0.3") {
        const UdpPeer peer(from);
        peer.SendTo(port, datagram, "127.0.0.2");
        peer.SendTo(port, Datagram(1, "PC7", "ILIVE"), "127.0.0.2");
        EXPECT_EQ(everyone.Next(), Datagram(2, "PC7", "*** Online ***\r\n"));
        std::atomic<bool> ran{false};
        std::thread caller([&] { ran = bridge.Call([] {}); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return ran.load(); }));
        caller.join();
    }
    QString Log() const { return dialog->findChild<QPlainTextEdit*>("1000")->toPlainText(); }
    QLineEdit* MessageLine() const { return dialog->findChild<QLineEdit*>("1001"); }
    QString Roster() const { // the broadcast entry as "*"
        QStringList names;
        for (int index = 0; index < dialog->roster->count(); ++index) {
            names << dialog->roster->itemText(index);
        }
        return names.join('|').replace("<< Broadcast >>", "*");
    }

    int port = FreeUdpPort();
    UdpPeer everyone{"127.0.0.1", port};
    MessageQueue queue;
    RecordingToneSink tones;
    FakeTray tray;
    UiBridge bridge;
    std::string boxes;
    MessageBoxHook previousHook =
        SetMessageBoxHook([this](const std::string& text, const std::string&) { boxes += text; });
    std::unique_ptr<LoopbackDialog> dialog = std::make_unique<LoopbackDialog>(
        CTavrinDlg::Services{queue,
                             tones,
                             tray,
                             bridge,
                             nullptr,
                             {},
                             [](const std::string& name) {
                                 return name == "localhost"
                                            ? std::optional<std::string>("127.0.0.1")
                                            : std::nullopt;
                             }},
        port);
};

} // namespace kestrane::test
