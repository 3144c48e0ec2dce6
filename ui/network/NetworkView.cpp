#include "ui/network/NetworkView.h"

#include "ui/network/ExtraHosts.h"
#include "ui/network/HeardHosts.h"

namespace kestrane {

NetworkView::NetworkView(const HeardHosts& heardHosts, ExtraHosts& extras,
                         std::chrono::system_clock::time_point startedAt, QWidget* parent)
    : QDialog(parent), heard(heardHosts), extraHosts(extras), started(startedAt) {}

void NetworkView::Refresh() {}

} // namespace kestrane
