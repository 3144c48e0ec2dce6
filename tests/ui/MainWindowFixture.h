#pragma once

#include "chat/chat.h"
#include "tests/support/RecordingToneSink.h"
#include "ui/CTavrinDlg.h"
#include "ui/MessageQueue.h"
#include "ui/TrayIcon.h"
#include "ui/UiBridge.h"

#include <QUrl>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kestrane::test {

/// A tray whose availability the test decides; offscreen has none.
class FakeTray : public TrayIcon {
public:
    bool IsAvailable() const override { return available; }
    bool available = true;
};

/// The main window with its sends counted instead of going to a network.
class TestDialog : public CTavrinDlg {
public:
    using CTavrinDlg::CTavrinDlg;
    int sendCount = 0;
    SendResult sendResult = SendResult::Sent;
    QString lastLine;
    Recipient lastRecipient;
    int messageDialogRuns = 0;

protected:
    // No network in widget tests: the first show does only its window steps.
    void StartNetwork() override { CompleteNetworkStart(std::string()); }
    SendResult SendText(const Recipient& recipient, const QString& line) override {
        ++sendCount;
        lastLine = line;
        lastRecipient = recipient;
        return sendResult;
    }
    void RunMessageDialog() override { ++messageDialogRuns; }
};

/// A received datagram as the listener would hand it over.
inline ChatMessage MakeMessage(const std::string& sender, const std::string& text) {
    std::vector<char> bytes(CHAT_MAX_DATAGRAM);
    const int count = ComposeText(bytes, sender, text);
    return ChatMessage(bytes.data(), count);
}

class MainWindowFixture : public testing::Test {
protected:
    void SetUp() override {
        dialog = std::make_unique<TestDialog>(
            CTavrinDlg::Services{.queue = queue,
                                 .tones = tones,
                                 .tray = tray,
                                 .bridge = bridge,
                                 .instanceLock = nullptr,
                                 .openUrl = [this](const QUrl& url) { openedUrls.push_back(url); },
                                 .lookUpAddress = {}});
        // Ticks come only when a test calls OnTimer.
        dialog->timer.stop();
    }

    /// Shows the window without the first-show steps that take it off the screen.
    void ShowPlainly() {
        dialog->networkStarted = true;
        dialog->show();
    }

    /// Puts the window into the tray as the first tick does.
    void SettleHidden() {
        dialog->ownName = "PC1";
        dialog->OnTimer();
        ASSERT_TRUE(dialog->hidden);
    }

    MessageQueue queue;
    RecordingToneSink tones;
    FakeTray tray;
    UiBridge bridge;
    std::vector<QUrl> openedUrls;
    std::unique_ptr<TestDialog> dialog; // last: goes before what it uses
};

inline const std::vector<Tone> kExpectedChime{{300, 100}, {500, 100}, {800, 100}};

} // namespace kestrane::test
