#include "bench/LoopbackWindow.h"

#include "chat/IncomingHandler.h"
#include "port/port.h"
#include "ui/ChatWindowBridge.h"

#include <utility>

namespace kestrane::bench {

LoopbackWindow::LoopbackWindow(Services windowServices, int loopbackPort, std::string givenName,
                               Decorate makeDecorator)
    : CTavrinDlg(std::move(windowServices)), port(loopbackPort), name(std::move(givenName)),
      decorate(std::move(makeDecorator)) {}

LoopbackWindow::~LoopbackWindow() {
    // The listener goes before the decorator it calls. The window is destroyed
    // first, which closes the bridge, so a dispatcher waiting on the UI thread
    // is let go rather than waited for.
    DestroyWindow();
    if (listener != nullptr) {
        ReleasePortListener(listener);
        listener = nullptr;
    }
    SetIncomingHandler(nullptr);
}

void LoopbackWindow::StartNetwork() {
    OpenNetwork(port, "127.0.0.1");
    CompleteNetworkStart(name);
    if (decorate) {
        decorator = decorate(*chatWindow);
        // The first handler stays alive: the dispatcher may still be in it.
        undecoratedHandler = std::exchange(
            incomingHandler,
            std::make_unique<IncomingHandler>(*decorator, *chatSender, LineBudget::Unlimited()));
        SetIncomingHandler(incomingHandler.get());
    }
}

} // namespace kestrane::bench
