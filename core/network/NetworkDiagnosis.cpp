#include "core/network/NetworkDiagnosis.h"

#include "port/HostLookup.h"

#include <QDateTime>
#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <map>
#include <net/if.h>
#include <system_error>

namespace kestrane {

namespace {

using namespace std::chrono_literals;

// How long hellos must have been going out before silence means something.
constexpr auto kQuietAfter = 30s;

QString Dotted(in_addr_t address) {
    return QString::fromStdString(DottedAddress(address));
}

std::optional<in_addr_t> ParseDotted(const std::string& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return std::nullopt;
    }
    return parsed.s_addr;
}

bool SameAddress(const NetworkInterface& a, const NetworkInterface& b) {
    return a.index == b.index && a.address == b.address && a.netmask == b.netmask;
}

QString InterfaceWithAddress(const NetworkInterface& address) {
    return QStringLiteral("%1 (%2)").arg(QString::fromStdString(address.name),
                                         Dotted(address.address));
}

// "on eth0 (10.77.0.3) at 12:03:04" for an interface's broadcast, "to
// 10.8.0.7 at ..." for an extra destination or the default route.
QString WhereSent(const FanoutRecord& record, const std::vector<NetworkInterface>& used) {
    const auto through = std::find_if(used.begin(), used.end(), [&](const NetworkInterface& i) {
        return i.name == record.target;
    });
    const QString where = through != used.end()
                              ? QStringLiteral("on ") + InterfaceWithAddress(*through)
                              : QStringLiteral("to ") + QString::fromStdString(record.destination);
    return where + QStringLiteral(" at ") + NetworkDiagnosis::TimeOfDay(record.lastSent);
}

QString NoNetworkParagraph(const NetworkDiagnosis::Facts& facts) {
    QStringList reasons;
    for (const NetworkInterface& address : facts.all) {
        reasons << QStringLiteral("%1: %2").arg(NetworkDiagnosis::AddressWithPrefix(address),
                                                NetworkDiagnosis::WhyUnused(address, facts.used));
    }
    QString paragraph = QStringLiteral(
        "No network of this computer carries broadcasts, so no other copy of Kestrane can hear "
        "this one and it hears nobody but the extra hosts.");
    if (!reasons.isEmpty()) {
        paragraph += QStringLiteral(" The addresses and why they are not used: ") +
                     reasons.join(QStringLiteral("; ")) + QLatin1Char('.');
    }
    return paragraph;
}

QString FirewallAdvice(FirewallProbe::Kind firewall) {
    if (firewall == FirewallProbe::Kind::None) {
        return QStringLiteral(" No firewall that Kestrane knows was found running; if another one "
                              "runs, it must let in UDP and TCP port 9000.");
    }
    QString advice = QStringLiteral(" %1 is running: to open Kestrane's ports, run:\n%2")
                         .arg(FirewallProbe::Name(firewall), FirewallProbe::OpenCommand(firewall));
    if (firewall == FirewallProbe::Kind::Nftables || firewall == FirewallProbe::Kind::Iptables) {
        advice += QStringLiteral("\n(The table and chain may have other names on this computer, "
                                 "and rules added this way last until the next restart unless "
                                 "they are saved.)");
    }
    return advice;
}

// Empty unless hellos have been going out for a while and nobody answered.
QString NothingHeardParagraph(const NetworkDiagnosis::Facts& facts) {
    if (!facts.heard.empty() || facts.now - facts.started < kQuietAfter) {
        return {};
    }
    QStringList places;
    for (const FanoutRecord& record : facts.sends) {
        if (record.sent > 0) {
            places << WhereSent(record, facts.used);
        }
    }
    if (places.isEmpty()) {
        return {};
    }
    return QStringLiteral("Nothing has been heard from any other computer although hellos went "
                          "out %1. Either no other copy of Kestrane runs on these networks, or "
                          "this computer's firewall blocks incoming UDP port 9000.")
               .arg(places.join(QStringLiteral(", "))) +
           FirewallAdvice(facts.firewall);
}

QStringList FailedSendParagraphs(const NetworkDiagnosis::Facts& facts) {
    QStringList paragraphs;
    for (const FanoutRecord& record : facts.sends) {
        if (record.lastError != 0) {
            paragraphs << QStringLiteral("Sending to %1 fails: %2 (%3 of %4 sends failed).")
                              .arg(QString::fromStdString(record.destination),
                                   QString::fromStdString(
                                       std::generic_category().message(record.lastError)))
                              .arg(record.failed)
                              .arg(record.sent + record.failed);
        }
    }
    return paragraphs;
}

// Hosts heard per interface name, "routed" for the ones no subnet holds.
std::map<QString, int> HeardPerInterface(const NetworkDiagnosis::Facts& facts) {
    std::map<QString, int> counts;
    for (const HeardHosts::Host& host : facts.heard) {
        ++counts[NetworkDiagnosis::HeardOn(host.address, facts.all)];
    }
    return counts;
}

QStringList QuietNetworkParagraphs(const NetworkDiagnosis::Facts& facts,
                                   const std::map<QString, int>& counts) {
    QStringList paragraphs;
    if (facts.heard.empty()) {
        return paragraphs;
    }
    for (const NetworkInterface& address : facts.used) {
        if (counts.count(QString::fromStdString(address.name)) == 0) {
            paragraphs << QStringLiteral(
                              "Nothing was heard on %1 while other hosts were heard elsewhere. "
                              "Either no copy of Kestrane runs on that network, or it keeps "
                              "broadcasts from passing (a guest Wi-Fi, client isolation).")
                              .arg(InterfaceWithAddress(address));
        }
    }
    return paragraphs;
}

QString HeardParagraph(const std::map<QString, int>& counts) {
    QStringList parts;
    for (const auto& [where, count] : counts) {
        parts << QStringLiteral("%1: %2").arg(where).arg(count);
    }
    return QStringLiteral("Hosts were heard on ") + parts.join(QStringLiteral(", ")) +
           QLatin1Char('.');
}

} // namespace

QStringList NetworkDiagnosis::Explain(const Facts& facts) {
    QStringList paragraphs;
    if (facts.used.empty()) {
        paragraphs << NoNetworkParagraph(facts);
    }
    const QString nothingHeard = NothingHeardParagraph(facts);
    if (!nothingHeard.isEmpty()) {
        paragraphs << nothingHeard;
    }
    paragraphs << FailedSendParagraphs(facts);
    const std::map<QString, int> counts = HeardPerInterface(facts);
    paragraphs << QuietNetworkParagraphs(facts, counts);
    if (!counts.empty()) {
        paragraphs << HeardParagraph(counts);
    }
    paragraphs << QStringLiteral(
        "A computer on another network (behind a router, or through a VPN) is reached only when "
        "it is listed under \"Extra hosts...\", and only if it lists this computer too.");
    return paragraphs;
}

QString NetworkDiagnosis::WhyUnused(const NetworkInterface& address,
                                    const std::vector<NetworkInterface>& used) {
    if (std::any_of(used.begin(), used.end(),
                    [&](const NetworkInterface& u) { return SameAddress(u, address); })) {
        return {};
    }
    if ((address.flags & IFF_LOOPBACK) != 0) {
        return QStringLiteral("loopback");
    }
    if ((address.flags & IFF_POINTOPOINT) != 0) {
        return QStringLiteral("point-to-point (a VPN tunnel)");
    }
    if ((address.flags & IFF_UP) == 0) {
        return QStringLiteral("down");
    }
    if ((address.flags & IFF_RUNNING) == 0) {
        return QStringLiteral("no carrier (no cable, or not connected)");
    }
    if ((address.flags & IFF_BROADCAST) == 0 || address.broadcast == 0) {
        return QStringLiteral("no broadcast address (the address was set without one)");
    }
    if (IsHostSideDeviceName(address.name)) {
        return QStringLiteral("the host side of a container or virtual machine network");
    }
    const auto other = std::find_if(used.begin(), used.end(), [&](const NetworkInterface& u) {
        return u.index == address.index ||
               (u.netmask == address.netmask && u.Network() == address.Network());
    });
    if (other != used.end()) {
        return (other->index == address.index
                    ? QStringLiteral("another address of this interface is used: %1")
                    : QStringLiteral("another address on the same subnet is used: %1"))
            .arg(InterfaceWithAddress(*other));
    }
    return QStringLiteral("not used");
}

QString NetworkDiagnosis::HeardOn(const std::string& address,
                                  const std::vector<NetworkInterface>& all) {
    const std::optional<in_addr_t> parsed = ParseDotted(address);
    if (parsed) {
        for (const NetworkInterface& candidate : all) {
            if ((candidate.flags & IFF_LOOPBACK) == 0 && candidate.Covers(*parsed)) {
                return QString::fromStdString(candidate.name);
            }
        }
    }
    return QStringLiteral("routed");
}

QString NetworkDiagnosis::AddressWithPrefix(const NetworkInterface& address) {
    return QStringLiteral("%1/%2")
        .arg(Dotted(address.address))
        .arg(std::popcount(ntohl(address.netmask)));
}

QString NetworkDiagnosis::TimeOfDay(std::chrono::system_clock::time_point when) {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(milliseconds).toString(QStringLiteral("HH:mm:ss"));
}

} // namespace kestrane
