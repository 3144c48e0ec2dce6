#pragma once

#include "bench/LoopbackWindow.h"
#include "core/threads/UiBridge.h"
#include "core/unread/MessageQueue.h"
#include "platform/ToneSink.h"
#include "ui/TrayIcon.h"

#include <QString>
#include <memory>
#include <string>
#include <vector>

namespace kestrane::bench {

/// A LoopbackWindow with everything it uses: its queue, a tone sink that plays
/// nothing, a tray and its own bridge, which closes with the window. With
/// `onScreen` false the desktop has a notification area, so the window leaves
/// the screen at network start as the program's does (offscreen has no tray);
/// with true it has none and the window stays shown (minimized offscreen is
/// still painted). The window goes first. UI thread only.
class LoopbackRig {
public:
    /// With a `historyFolder`, the window keeps its history there.
    LoopbackRig(int port, std::string ownName, bool onScreen = false,
                LoopbackWindow::Decorate decorate = {}, QString historyFolder = {});
    LoopbackRig(const LoopbackRig&) = delete;
    LoopbackRig& operator=(const LoopbackRig&) = delete;

    LoopbackWindow& Window() { return *window; }
    UiBridge& Bridge() { return bridge; }

private:
    class SilentToneSink : public ToneSink {
    public:
        void Play(std::vector<Tone> /*tones*/) override {}
    };

    class Tray : public TrayIcon {
    public:
        explicit Tray(bool trayAvailable) : available(trayAvailable) {}
        bool IsAvailable() const override { return available; }

    private:
        bool available;
    };

    MessageQueue queue;
    SilentToneSink tones;
    Tray tray;
    UiBridge bridge;
    std::unique_ptr<LoopbackWindow> window;
};

} // namespace kestrane::bench
