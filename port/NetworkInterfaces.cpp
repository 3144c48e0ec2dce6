#include "port/NetworkInterfaces.h"

#include <algorithm>
#include <array>
#include <ifaddrs.h>
#include <net/if.h>

namespace kestrane {

namespace {

in_addr_t AddressIn(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return 0;
    }
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

} // namespace

std::vector<NetworkInterface> ReadNetworkInterfaces() {
    std::vector<NetworkInterface> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return found;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        NetworkInterface item;
        item.index = ::if_nametoindex(entry->ifa_name);
        item.name = entry->ifa_name;
        item.address = AddressIn(entry->ifa_addr);
        item.netmask = AddressIn(entry->ifa_netmask);
        item.flags = entry->ifa_flags;
        if ((entry->ifa_flags & IFF_BROADCAST) != 0) {
            item.broadcast = AddressIn(entry->ifa_broadaddr);
        }
        found.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return found;
}

bool IsHostSideDeviceName(std::string_view name) {
    static constexpr std::array<std::string_view, 22> kPrefixes{
        "docker", "br-",    "veth",    "virbr",   "vnet",   "lxcbr",  "lxdbr",  "incusbr",
        "podman", "cni",    "flannel", "cali",    "weave",  "kube-",  "cilium", "vboxnet",
        "vmnet",  "vxlan.", "genev",   "nerdctl", "lxcnet", "macvtap"};
    return std::any_of(kPrefixes.begin(), kPrefixes.end(),
                       [name](std::string_view prefix) { return name.starts_with(prefix); });
}

bool IsBroadcastInterface(const NetworkInterface& candidate) {
    constexpr unsigned kNeeded = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    constexpr unsigned kRefused = IFF_LOOPBACK | IFF_POINTOPOINT;
    return (candidate.flags & kNeeded) == kNeeded && (candidate.flags & kRefused) == 0 &&
           candidate.address != 0 && candidate.broadcast != 0 && candidate.index != 0 &&
           !IsHostSideDeviceName(candidate.name);
}

std::vector<NetworkInterface> BroadcastInterfaces(const std::vector<NetworkInterface>& all) {
    std::vector<NetworkInterface> kept;
    for (const NetworkInterface& candidate : all) {
        if (!IsBroadcastInterface(candidate)) {
            continue;
        }
        const bool repeats = std::any_of(kept.begin(), kept.end(), [&](const NetworkInterface& k) {
            return k.index == candidate.index ||
                   (k.netmask == candidate.netmask && k.Network() == candidate.Network());
        });
        if (!repeats) {
            kept.push_back(candidate);
        }
    }
    return kept;
}

} // namespace kestrane

namespace kestrane {

namespace {

bool SameAddress(const NetworkInterface& a, const NetworkInterface& b) {
    return a.index == b.index && a.address == b.address && a.netmask == b.netmask;
}

bool Holds(const std::vector<NetworkInterface>& list, const NetworkInterface& wanted) {
    return std::any_of(list.begin(), list.end(),
                       [&](const NetworkInterface& i) { return SameAddress(i, wanted); });
}

} // namespace

InterfaceChanges CompareInterfaces(const std::vector<NetworkInterface>& before,
                                   const std::vector<NetworkInterface>& after,
                                   const std::vector<unsigned>& renewed) {
    InterfaceChanges changes;
    for (const NetworkInterface& now : after) {
        const bool isRenewed =
            std::find(renewed.begin(), renewed.end(), now.index) != renewed.end();
        if (isRenewed || !Holds(before, now)) {
            changes.appeared.push_back(now);
        }
    }
    for (const NetworkInterface& then : before) {
        if (!Holds(after, then)) {
            changes.gone.push_back(then);
        }
    }
    return changes;
}

} // namespace kestrane
