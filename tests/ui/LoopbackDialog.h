#pragma once

#include "tests/support/LoopbackAddress.h"
#include "ui/CTavrinDlg.h"

#include <optional>
#include <string>
#include <utility>

namespace kestrane::test {

/// The resolver of a LAN that knows no host names: only localhost resolves.
inline std::optional<std::string> LoopbackNames(const std::string& name) {
    if (name == "localhost") {
        return "127.0.0.1";
    }
    return std::nullopt;
}

/// The main window with its real network on loopback and the own name PC7:
/// its listener is bound to `loopbackPort` on all addresses (peers reach it
/// through 127.0.0.2), and its "broadcasts" go to `broadcastTarget` on the same
/// port instead of the broadcast address.
class LoopbackDialog : public CTavrinDlg {
public:
    LoopbackDialog(Services windowServices, int loopbackPort,
                   const char* broadcastTarget = "127.0.0.1")
        : CTavrinDlg(std::move(windowServices)), port(loopbackPort),
          broadcastHost(broadcastTarget) {}
    /// With no instance lock and no browser.
    LoopbackDialog(MessageQueue& queue, ToneSink& tones, TrayIcon& tray, UiBridge& bridge,
                   int loopbackPort, const char* broadcastTarget = "127.0.0.1")
        : LoopbackDialog(Services{.queue = queue,
                                  .tones = tones,
                                  .tray = tray,
                                  .bridge = bridge,
                                  .instanceLock = nullptr,
                                  .openUrl = {},
                                  .lookUpAddress = LoopbackNames},
                         loopbackPort, broadcastTarget) {}

protected:
    void StartNetwork() override {
        OpenNetwork(port, broadcastHost);
        CompleteNetworkStart("PC7");
    }

private:
    int port;
    const char* broadcastHost;
};

/// A peer on the LAN sending `bytes` to the listener of a LoopbackDialog on
/// `port`, from the loopback address `from`.
inline void SendToWindow(int port, const std::string& bytes, const char* from = "127.0.0.1") {
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in source = LoopbackAddress(from, 0);
    ::bind(descriptor, reinterpret_cast<const sockaddr*>(&source), sizeof source);
    const sockaddr_in address = LoopbackAddress("127.0.0.2", port);
    ::sendto(descriptor, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
    ::close(descriptor);
}

} // namespace kestrane::test
