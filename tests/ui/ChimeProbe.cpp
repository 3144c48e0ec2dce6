// The main window with the real tone player: settles hidden, receives one line
// from another host, waits until the chime has reached the file that ALSA was
// told to write (argv[1], at least argv[2] bytes), then ends. ALSA finds its
// configuration through the HOME that the test gives this process.
#include "chat/chat.h"
#include "platform/AlsaTonePlayer.h"
#include "ui/CTavrinDlg.h"
#include "ui/MessageQueue.h"
#include "ui/QtThreadSanitizerOptions.h"
#include "ui/TrayIcon.h"
#include "ui/UiBridge.h"

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

bool WaitForFile(const std::filesystem::path& path, std::uintmax_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::error_code error;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::file_size(path, error) >= size && !error) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    kestrane::MessageQueue queue;
    kestrane::AlsaTonePlayer tones;
    kestrane::TrayIcon tray;
    kestrane::UiBridge bridge;
    kestrane::CTavrinDlg dialog({.queue = queue,
                                 .tones = tones,
                                 .tray = tray,
                                 .bridge = bridge,
                                 .instanceLock = nullptr,
                                 .openUrl = {},
                                 .lookUpAddress = {}});
    dialog.timer.stop();
    // Without a tray the first tick minimizes the window, which shows it: keep
    // that show from starting the network, since this probe runs on the
    // machine's own network.
    dialog.networkStarted = true;
    dialog.ownName = "PC1";
    dialog.OnTimer(); // the first tick hides the window
    std::vector<char> bytes(kestrane::CHAT_MAX_DATAGRAM);
    const int count = kestrane::ComposeText(bytes, "PC2", "ring\r\n");
    dialog.OnChatMessage(kestrane::ChatMessage(bytes.data(), count));
    return WaitForFile(argv[1], std::stoull(argv[2])) ? 0 : 3;
}
