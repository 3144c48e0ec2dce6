#pragma once

#include "ui/CTavrinDlg.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrane {
class ChatWindow;
}

namespace kestrane::bench {

/// The main window with its network on a loopback port: its "broadcasts" go to
/// 127.0.0.1 (a DatagramTap takes them there) and peers reach its listener
/// through 127.0.0.2. A benchmark may put a decorator around the window that
/// the incoming handler talks to, to see each call as the dispatcher makes it.
/// UI thread only, as its base.
class LoopbackWindow : public CTavrinDlg {
public:
    /// Makes the decorator around `inner`, which outlives it.
    using Decorate = std::function<std::unique_ptr<ChatWindow>(ChatWindow& inner)>;

    LoopbackWindow(Services windowServices, int loopbackPort, std::string givenName,
                   Decorate makeDecorator = {});
    ~LoopbackWindow() override;

protected:
    void StartNetwork() override;

private:
    int port;
    std::string name;
    Decorate decorate;
};

} // namespace kestrane::bench
