// Cost of one incoming line in the main window as the log grows: feeds 20,000
// lines through the incoming-text handler and compares the time per line of
// the first 1,000 with that of the last 1,000.
//   kestrane_incoming_line_bench           the full run
//   kestrane_incoming_line_bench --short   a quick run that only checks it works
#include "chat/chat.h"
#include "core/threads/UiBridge.h"
#include "core/unread/MessageQueue.h"
#include "platform/ToneSink.h"
#include "ui/CTavrinDlg.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class SilentToneSink : public kestrane::ToneSink {
public:
    void Play(std::vector<kestrane::Tone> /*tones*/) override {}
};

kestrane::ChatMessage MakeLine(int number) {
    std::vector<char> bytes(kestrane::CHAT_MAX_DATAGRAM);
    const std::string text =
        "line " + std::to_string(number) + " of the log, long enough to look like chat\r\n";
    const int count = kestrane::ComposeText(bytes, "PC2.LAN.TEST", text);
    return {bytes.data(), count};
}

// Microseconds per line for lines [first, first + count), the window painting as it goes.
double TimeLines(kestrane::CTavrinDlg& dialog, int first, int count) {
    const auto start = std::chrono::steady_clock::now();
    for (int number = first; number < first + count; ++number) {
        dialog.Session().OnChatMessage(MakeLine(number));
        QCoreApplication::processEvents();
    }
    const std::chrono::duration<double, std::micro> elapsed =
        std::chrono::steady_clock::now() - start;
    return elapsed.count() / count;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    kestrane::MessageQueue queue;
    SilentToneSink tones;
    kestrane::TrayIcon tray;
    kestrane::UiBridge bridge;
    kestrane::CTavrinDlg dialog({.queue = queue,
                                 .tones = tones,
                                 .tray = tray,
                                 .bridge = bridge,
                                 .instanceLock = nullptr,
                                 .openUrl = {},
                                 .lookUpAddress = {},
                                 .historyFolder = {},
                                 .desktopBus = {}});
    dialog.presence->timer.stop();
    dialog.networkStarting = true; // shown as the user sees it, with no network
    dialog.show();

    const int total = quick ? 2000 : 20000;
    const int block = quick ? 200 : 1000;
    const double first = TimeLines(dialog, 0, block);
    TimeLines(dialog, block, total - 2 * block);
    const double last = TimeLines(dialog, total - block, block);
    const double ratio = last / first;
    std::printf("incoming lines through the main window, %d lines\n", total);
    std::printf("  first %d lines: %8.1f us per line\n", block, first);
    std::printf("  last  %d lines: %8.1f us per line\n", block, last);
    std::printf("  ratio last / first: %.2f (target at most 1.50)\n", ratio);
    return 0;
}
