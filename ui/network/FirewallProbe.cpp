#include "ui/network/FirewallProbe.h"

namespace kestrane {

FirewallProbe::Kind FirewallProbe::Running(const QString& root) {
    Q_UNUSED(root);
    return Kind::None;
}

QString FirewallProbe::OpenCommand(Kind kind) {
    Q_UNUSED(kind);
    return {};
}

QString FirewallProbe::Name(Kind kind) {
    Q_UNUSED(kind);
    return {};
}

} // namespace kestrane
