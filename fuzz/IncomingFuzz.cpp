// The whole incoming path: bytes as the listener hands them to OnDatagram, the
// incoming handler, and the main window behind it, offscreen, on this thread.
#include "chat/IncomingHandler.h"
#include "chat/chat.h"
#include "core/threads/UiBridge.h"
#include "core/unread/MessageQueue.h"
#include "platform/ToneSink.h"
#include "port/port.h"
#include "ui/CTavrinDlg.h"
#include "ui/ChatWindowBridge.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QComboBox>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace kestrane {
namespace {

class SilentTones : public ToneSink {
public:
    void Play(std::vector<Tone>) override {}
};

class NoTray : public TrayIcon {
public:
    bool IsAvailable() const override { return false; }
};

/// The main window without a network; the harness stands in for the listener.
class FuzzDialog : public CTavrinDlg {
public:
    using CTavrinDlg::CTavrinDlg;

protected:
    void StartNetwork() override { CompleteNetworkStart(std::string()); }
    int SendLeaving() override { return 0; }
    void RunMessageDialog() override {}
};

/// One window with its handler. Rebuilt now and then, so the log and the queue
/// stay small however long the run.
struct Window {
    Window() {
        dialog.show(); // network start: the broadcast entry
        dialog.hide(); // off the screen, as behind the tray: nothing to paint
        dialog.ownName = "PC7";
        dialog.presence->hidden = true; // lines chime and flag the taskbar, as behind the tray
        sender.PublishOwnName("PC7");
        SetIncomingHandler(&handler);
    }
    ~Window() { SetIncomingHandler(nullptr); }

    MessageQueue queue;
    SilentTones tones;
    NoTray tray;
    UiBridge bridge;
    FuzzDialog dialog{CTavrinDlg::Services{.queue = queue,
                                           .tones = tones,
                                           .tray = tray,
                                           .bridge = bridge,
                                           .instanceLock = nullptr,
                                           .openUrl = {},
                                           .lookUpAddress = {}}};
    ChatSender sender{nullptr}; // answers go nowhere
    ChatWindowBridge windowBridge{dialog, bridge};
    // Every line reaches the window, however fast the inputs come.
    IncomingHandler handler{windowBridge, sender, LineBudget::Unlimited()};
};

constexpr int kInputsPerWindow = 256;

// Never destroyed at exit: the window must go before the application, whose
// teardown at exit comes too late for it.
Window* window = nullptr;
int inputsOnWindow = 0;

} // namespace
} // namespace kestrane

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QApplication(*argc, *argv); // lives until the process ends
    // Qt loads fonts and fills its caches on first use and keeps them: done
    // here, before the runs begin.
    kestrane::window = new kestrane::Window;
    kestrane::window->dialog.AddPeer("PC2");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrane;
    if (++inputsOnWindow > kInputsPerWindow) {
        // What the window queued for later (its leaving the screen, layouts)
        // runs now, as the event loop would run it.
        QCoreApplication::processEvents();
        delete window;
        window = new Window;
        inputsOnWindow = 1;
    }
    // The listener receives into a buffer of PORT_BUFFER_SIZE bytes.
    const int count = static_cast<int>(std::min<std::size_t>(size, PORT_BUFFER_SIZE));
    PortConnection* node = new PortConnection;
    node->StoreReception(reinterpret_cast<const char*>(data), count);
    if (OnDatagram(node) != 0) {
        std::abort();
    }
    node->Release();
    if (window->dialog.roster->count() < 1) {
        std::abort(); // the broadcast entry never goes
    }
    return 0;
}
