#pragma once

#include "port/NetworkInterfaces.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace kestrane {

/// Where one kind of datagram to everybody went, for the Network view.
struct FanoutRecord {
    std::string target;      // an interface's name, a dotted extra address, or "default route"
    std::string destination; // "255.255.255.255 on eth0", "10.8.0.255", ...
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    std::chrono::system_clock::time_point lastSent{};
    int lastError = 0; // errno of the last failure, 0 when the last send went out
};

/// Where a datagram "to everybody" really goes. Linux sends 255.255.255.255
/// out through the default route's interface only, so a host on two LANs, or
/// behind a VPN that takes the default route, would be heard on one network or
/// none. With interfaces set, each datagram aimed at the broadcast address
/// leaves once through each of them (the interface chosen per datagram, the
/// destination still 255.255.255.255, the bytes unchanged), and once by unicast
/// to each extra destination that no interface's subnet already covers.
/// Before any interface or destination is set, sends go through the routing
/// table as they always did.
///
/// One per process (the sender is one per process). Thread-safe: the UI thread
/// sets, any sending thread sends.
class BroadcastFanout {
public:
    static constexpr std::size_t kMostInterfaces = 32;
    static constexpr std::size_t kMostExtraDestinations = 64;

    static BroadcastFanout& Process();

    /// The interfaces that broadcasts leave through (BroadcastInterfaces'
    /// choice), at most kMostInterfaces.
    void SetInterfaces(std::vector<NetworkInterface> chosen);
    /// Addresses (network byte order) that get each broadcast by unicast:
    /// hosts, or directed broadcast addresses of routed subnets. At most
    /// kMostExtraDestinations; repeats are dropped.
    void SetExtraDestinations(std::vector<in_addr_t> destinations);

    std::vector<NetworkInterface> Interfaces() const;
    /// How many interfaces broadcasts leave through; lock-free, for every reception.
    std::size_t InterfaceCount() const { return interfaceCount.load(std::memory_order_relaxed); }
    /// The extra destinations as kept: repeats dropped, in the order given.
    std::vector<in_addr_t> ExtraDestinations() const;
    /// True when sends are spread; false while nothing was set.
    bool Active() const;

    /// Sends `count` bytes to `port` on every target through `socket` (which
    /// allows broadcasting). True when at least one copy went out whole.
    bool Send(int socket, int port, const char* bytes, int count);
    /// Sends through the interface `interfaceIndex` only. False when it is not
    /// one of the interfaces set, or the send failed.
    bool SendOn(unsigned interfaceIndex, int socket, int port, const char* bytes, int count);

    std::vector<FanoutRecord> Records() const;

private:
    BroadcastFanout() = default;
    bool SendThrough(const NetworkInterface& through, int socket, int port, const char* bytes,
                     int count);
    bool SendTo(in_addr_t destination, int socket, int port, const char* bytes, int count);
    bool Covered(in_addr_t destination) const;
    void Note(const std::string& target, const std::string& destination, bool sent, int error);

    mutable std::mutex lock;
    bool active = false;
    std::atomic<std::size_t> interfaceCount{0};
    std::vector<NetworkInterface> interfaces;
    std::vector<in_addr_t> extras;
    std::vector<FanoutRecord> records; // at most one per target ever set
};

} // namespace kestrane
