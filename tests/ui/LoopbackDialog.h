#pragma once

#include "ui/CTavrinDlg.h"

#include <utility>

namespace kestrane::test {

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

protected:
    bool StartNetwork() override { return StartNetworkOn(port, broadcastHost, "PC7"); }

private:
    int port;
    const char* broadcastHost;
};

} // namespace kestrane::test
