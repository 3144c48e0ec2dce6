#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

/// One IPv4 address of one interface, as getifaddrs reports it. Addresses are
/// in network byte order; `broadcast` is 0 when the address has none.
struct NetworkInterface {
    unsigned index = 0;
    std::string name;
    in_addr_t address = 0;
    in_addr_t netmask = 0;
    in_addr_t broadcast = 0;
    unsigned flags = 0; // IFF_UP, IFF_RUNNING, IFF_BROADCAST, ...

    in_addr_t Network() const { return address & netmask; }
    /// True when `other` (network byte order) lies in this address's subnet.
    bool Covers(in_addr_t other) const { return (other & netmask) == Network(); }
    friend bool operator==(const NetworkInterface&, const NetworkInterface&) = default;
};

/// Every IPv4 address of every interface; empty when getifaddrs fails.
std::vector<NetworkInterface> ReadNetworkInterfaces();

/// True for the host-side devices of container engines and virtual machines,
/// known by the names their engines give them: Docker, Podman, LXC/LXD/Incus,
/// libvirt, VirtualBox, VMware, Kubernetes network plugins, and the host ends
/// of container veths ("veth..."). A container's own "eth0" is not one.
bool IsHostSideDeviceName(std::string_view name);

/// The rule for what goes to everybody: an address that is up, running, on an
/// interface that can broadcast, carries a broadcast address, is neither
/// loopback nor point-to-point, and is not a host-side device by name.
bool IsBroadcastInterface(const NetworkInterface& candidate);

/// The addresses the rule keeps, one per interface and one per subnet (a
/// laptop on one LAN by cable and Wi-Fi must not send everything twice), in
/// the order given.
std::vector<NetworkInterface> BroadcastInterfaces(const std::vector<NetworkInterface>& all);

} // namespace kestrane

namespace kestrane {

/// What differs between two choices of BroadcastInterfaces.
struct InterfaceChanges {
    std::vector<NetworkInterface> appeared; // in `after` only, or up again
    std::vector<NetworkInterface> gone;     // in `before` only
};

/// Compares by interface and address; the ones in `renewed` (indexes of
/// interfaces that got an address again, even the same one) count as appeared
/// when `after` holds them.
InterfaceChanges CompareInterfaces(const std::vector<NetworkInterface>& before,
                                   const std::vector<NetworkInterface>& after,
                                   const std::vector<unsigned>& renewed = {});

} // namespace kestrane
