#include "ui/network/NetworkDiagnosis.h"

namespace kestrane {

QStringList NetworkDiagnosis::Explain(const Facts& facts) {
    Q_UNUSED(facts);
    return {};
}

QString NetworkDiagnosis::WhyUnused(const NetworkInterface& address,
                                    const std::vector<NetworkInterface>& used) {
    Q_UNUSED(address);
    Q_UNUSED(used);
    return {};
}

} // namespace kestrane
