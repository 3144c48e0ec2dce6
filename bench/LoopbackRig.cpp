#include "bench/LoopbackRig.h"

namespace kestrane::bench {

LoopbackRig::LoopbackRig(int port, std::string ownName, bool onScreen,
                         LoopbackWindow::Decorate decorate, QString historyFolder)
    : tray(!onScreen),
      window(std::make_unique<LoopbackWindow>(CTavrinDlg::Services{.queue = queue,
                                                                   .tones = tones,
                                                                   .tray = tray,
                                                                   .bridge = bridge,
                                                                   .instanceLock = nullptr,
                                                                   .openUrl = {},
                                                                   .lookUpAddress = {},
                                                                   .historyFolder = historyFolder,
                                                                   .desktopBus = {}},
                                              port, std::move(ownName), std::move(decorate))) {}

} // namespace kestrane::bench
