#pragma once

#include "core/network/FirewallProbe.h"
#include "core/network/HeardHosts.h"
#include "port/BroadcastFanout.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <vector>

namespace kestrane {

/// A plain-language answer to "why can't I see X?" from what the copy knows:
/// the interfaces broadcasts leave through, what was sent where, who was heard,
/// and which firewall runs. Pure: all of it is given.
class NetworkDiagnosis {
public:
    struct Facts {
        std::vector<NetworkInterface> all;  // every IPv4 address of the host
        std::vector<NetworkInterface> used; // the ones broadcasts leave through
        std::vector<FanoutRecord> sends;
        std::vector<HeardHosts::Host> heard; // other hosts only
        std::chrono::system_clock::time_point started{};
        std::chrono::system_clock::time_point now{};
        FirewallProbe::Kind firewall = FirewallProbe::Kind::None;
    };

    /// Paragraphs of plain text, most important first.
    static QStringList Explain(const Facts& facts);
    /// Why an address is not used for broadcasts ("loopback", "a container
    /// engine's bridge", "no broadcast address", ...), or empty when it is.
    static QString WhyUnused(const NetworkInterface& address,
                             const std::vector<NetworkInterface>& used);
    /// The name of the interface whose subnet holds `address` (dotted), or
    /// "routed" when none does.
    static QString HeardOn(const std::string& address, const std::vector<NetworkInterface>& all);
    /// "10.77.0.3/24".
    static QString AddressWithPrefix(const NetworkInterface& address);
    /// A wall-clock time as the view and the paragraphs show it (local, "12:03:04").
    static QString TimeOfDay(std::chrono::system_clock::time_point when);
};

} // namespace kestrane
