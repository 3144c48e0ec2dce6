#include "port/BroadcastFanout.h"

#include "port/HostLookup.h"
#include "port/SocketCalls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace kestrane {

namespace {

constexpr std::size_t kMostRecords = 256;

sockaddr_in Destination(in_addr_t address, int port) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<std::uint16_t>(port));
    destination.sin_addr.s_addr = address;
    return destination;
}

bool Whole(ssize_t sent, int count) {
    return sent == count;
}

} // namespace

BroadcastFanout& BroadcastFanout::Process() {
    static BroadcastFanout fanout;
    return fanout;
}

void BroadcastFanout::SetInterfaces(std::vector<NetworkInterface> chosen) {
    if (chosen.size() > kMostInterfaces) {
        chosen.resize(kMostInterfaces);
    }
    std::lock_guard guard(lock);
    interfaces = std::move(chosen);
    interfaceCount.store(interfaces.size(), std::memory_order_relaxed);
    active = true;
}

void BroadcastFanout::SetExtraDestinations(std::vector<in_addr_t> destinations) {
    std::vector<in_addr_t> unique;
    for (in_addr_t destination : destinations) {
        if (destination != 0 && unique.size() < kMostExtraDestinations &&
            std::find(unique.begin(), unique.end(), destination) == unique.end()) {
            unique.push_back(destination);
        }
    }
    std::lock_guard guard(lock);
    extras = std::move(unique);
    active = true;
}

std::vector<NetworkInterface> BroadcastFanout::Interfaces() const {
    std::lock_guard guard(lock);
    return interfaces;
}

std::vector<in_addr_t> BroadcastFanout::ExtraDestinations() const {
    std::lock_guard guard(lock);
    return extras;
}

bool BroadcastFanout::Active() const {
    std::lock_guard guard(lock);
    return active;
}

bool BroadcastFanout::Send(int socket, int port, const char* bytes, int count) {
    std::lock_guard guard(lock);
    bool any = false;
    for (const NetworkInterface& through : interfaces) {
        any = SendThrough(through, socket, port, bytes, count) || any;
    }
    for (in_addr_t extra : extras) {
        if (!Covered(extra)) {
            any = SendTo(extra, socket, port, bytes, count) || any;
        }
    }
    if (interfaces.empty()) {
        // No LAN is up (or none has a broadcast address): the routing table
        // decides, as without the fan-out; it fails when there is no route.
        any = SendTo(INADDR_BROADCAST, socket, port, bytes, count) || any;
    }
    return any;
}

bool BroadcastFanout::SendOn(unsigned interfaceIndex, int socket, int port, const char* bytes,
                             int count) {
    std::lock_guard guard(lock);
    const auto found =
        std::find_if(interfaces.begin(), interfaces.end(),
                     [&](const NetworkInterface& i) { return i.index == interfaceIndex; });
    return found != interfaces.end() && SendThrough(*found, socket, port, bytes, count);
}

bool BroadcastFanout::SendThrough(const NetworkInterface& through, int socket, int port,
                                  const char* bytes, int count) {
    // Linux routes a limited broadcast with an interface given straight out of
    // that interface, whatever the routing table says, from its own address.
    const ssize_t sent =
        SendWithPacketInfo(socket, Destination(INADDR_BROADCAST, port), bytes,
                           static_cast<std::size_t>(count), through.index, through.address);
    const bool whole = Whole(sent, count);
    Note(through.name, "255.255.255.255 on " + through.name, whole, whole ? 0 : errno);
    return whole;
}

bool BroadcastFanout::SendTo(in_addr_t address, int socket, int port, const char* bytes,
                             int count) {
    const sockaddr_in destination = Destination(address, port);
    ssize_t sent;
    do {
        sent = ::sendto(socket, bytes, static_cast<std::size_t>(count), 0,
                        reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    } while (sent < 0 && errno == EINTR);
    const bool whole = Whole(sent, count);
    const std::string dotted = DottedAddress(address);
    Note(address == INADDR_BROADCAST ? "default route" : dotted, dotted, whole, whole ? 0 : errno);
    return whole;
}

bool BroadcastFanout::Covered(in_addr_t destination) const {
    // A host or subnet on a LAN the broadcasts reach already hears them: a
    // second copy would show a line to everybody twice.
    return std::any_of(interfaces.begin(), interfaces.end(),
                       [&](const NetworkInterface& i) { return i.Covers(destination); });
}

void BroadcastFanout::Note(const std::string& target, const std::string& destination, bool sent,
                           int error) {
    auto found = std::find_if(records.begin(), records.end(), [&](const FanoutRecord& r) {
        return r.target == target && r.destination == destination;
    });
    if (found == records.end()) {
        if (records.size() >= kMostRecords) {
            records.erase(records.begin());
        }
        records.push_back({target, destination});
        found = records.end() - 1;
    }
    if (sent) {
        ++found->sent;
        found->lastSent = std::chrono::system_clock::now();
    } else {
        ++found->failed;
    }
    found->lastError = error;
}

std::vector<FanoutRecord> BroadcastFanout::Records() const {
    std::lock_guard guard(lock);
    return records;
}

} // namespace kestrane
