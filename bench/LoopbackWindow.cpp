#include "bench/LoopbackWindow.h"

#include "chat/IncomingHandler.h"

#include <utility>

namespace kestrane::bench {

LoopbackWindow::LoopbackWindow(Services windowServices, int loopbackPort, std::string givenName,
                               Decorate makeDecorator)
    : CTavrinDlg(std::move(windowServices)), port(loopbackPort), name(std::move(givenName)),
      decorate(std::move(makeDecorator)) {}

LoopbackWindow::~LoopbackWindow() = default;

void LoopbackWindow::StartNetwork() {
    Session().OpenNetwork(port, "127.0.0.1");
    Session().CompleteNetworkStart(name);
    if (decorate) {
        Session().DecorateIncoming(decorate, LineBudget::Unlimited());
    }
}

} // namespace kestrane::bench
