#include "port/BroadcastFanout.h"

#include "port/HostLookup.h"
#include "port/NetworkInterfaces.h"
#include "port/port.h"
#include "tests/support/Lan.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

namespace kestrane::test {
namespace {

constexpr unsigned kLan = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;

in_addr_t Address(const char* dotted) {
    return inet_addr(dotted);
}

NetworkInterface Lan(unsigned index, const char* name, const char* address,
                     const char* netmask = "255.255.255.0", unsigned flags = kLan) {
    const in_addr_t own = Address(address), mask = Address(netmask);
    return {index, name, own, mask, (flags & IFF_BROADCAST) != 0 ? (own | ~mask) : 0, flags};
}

TEST(BroadcastFanout, TheRuleKeepsEachLanOnceAndLeavesOutTunnelsAndHostSideDevices) {
    NetworkInterface noBroadcast = Lan(9, "wlan1", "10.3.0.2");
    noBroadcast.broadcast = 0; // set without "brd", as a hand-made address may be
    const std::vector<NetworkInterface> all = {
        Lan(1, "lo", "127.0.0.1", "255.0.0.0", IFF_UP | IFF_RUNNING | IFF_LOOPBACK),
        Lan(2, "eth0", "10.77.0.3"),
        Lan(2, "eth0", "10.77.1.3"),  // a second address on the same interface
        Lan(3, "wlan0", "10.77.0.9"), // the same LAN over Wi-Fi
        Lan(4, "eth1", "192.168.5.3"),
        Lan(5, "tun0", "10.8.0.2", "255.255.255.255", IFF_UP | IFF_RUNNING | IFF_POINTOPOINT),
        Lan(6, "docker0", "172.17.0.1", "255.255.0.0"),
        Lan(7, "br-3f2a9c", "172.18.0.1", "255.255.0.0"),
        Lan(8, "virbr0", "192.168.122.1"),
        noBroadcast,
        Lan(10, "eth2", "10.5.0.2", "255.255.255.0", IFF_UP | IFF_BROADCAST), // no carrier
        Lan(11, "veth1c2d", "10.200.0.1"),
        Lan(12, "enp3s0", "169.254.7.7", "255.255.0.0"), // a cable and no DHCP
    };
    std::vector<std::string> kept;
    for (const NetworkInterface& used : BroadcastInterfaces(all)) {
        kept.push_back(used.name + " " + DottedAddress(used.address));
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"eth0 10.77.0.3", "eth1 192.168.5.3",
                                              "enp3s0 169.254.7.7"}));
    // A container's or a test host's own LAN interface is a veth called eth0: it is kept.
    EXPECT_FALSE(IsHostSideDeviceName("eth0"));
    EXPECT_TRUE(IsHostSideDeviceName("vethb81e0f2"));

    const std::vector<NetworkInterface> before = {all[1], all[4]};
    const std::vector<NetworkInterface> after = {all[1], Lan(4, "eth1", "192.168.6.3"), all[12]};
    InterfaceChanges changes = CompareInterfaces(before, after);
    ASSERT_EQ(changes.appeared.size(), 2u);
    EXPECT_EQ(changes.appeared[0].name + changes.appeared[1].name, "eth1enp3s0");
    ASSERT_EQ(changes.gone.size(), 1u);
    EXPECT_EQ(changes.gone[0].address, Address("192.168.5.3"));
    // The same address given again (a DHCP renewal after a cable was out) counts as new.
    changes = CompareInterfaces(after, after, {2});
    ASSERT_EQ(changes.appeared.size(), 1u);
    EXPECT_EQ(changes.appeared[0].name, "eth0");
    EXPECT_TRUE(changes.gone.empty());
}

TEST(BroadcastFanout, EachBroadcastReachesTheExtraHostsOnceAndAFailedNetworkIsRecorded) {
    const UdpPeer extra("127.0.0.1");
    BroadcastFanout& fanout = BroadcastFanout::Process();
    // An interface index no machine has: the send through it fails at once, nothing leaves.
    fanout.SetInterfaces({Lan(999999, "eth9", "10.77.0.3")});
    fanout.SetExtraDestinations(
        {Address("127.0.0.1"), Address("127.0.0.1"), Address("10.77.0.20")});
    PortConnection* sender = nullptr;
    ASSERT_EQ(CreatePortConnection(nullptr, extra.Port(), PORT_MODE_UDP, nullptr, nullptr, &sender),
              0);
    EXPECT_TRUE(sender->TrySendDatagram("hello", 5));
    EXPECT_FALSE(sender->TrySendDatagramOn(999998, "again", 5)); // not an interface in use
    // Aimed at one host, a datagram goes there alone.
    const UdpPeer direct("127.0.0.2");
    sender->OpenDatagram("127.0.0.2", direct.Port());
    EXPECT_TRUE(sender->TrySendDatagram("direct", 6));
    EXPECT_EQ(Received(direct, "127.0.0.2"), "direct");
    EXPECT_EQ(Received(extra, "127.0.0.1"), "hello"); // once, although listed twice
    std::string records;
    for (const FanoutRecord& record : fanout.Records()) {
        records += record.destination + " " + std::to_string(record.sent) + "/" +
                   std::to_string(record.failed) + (record.lastError != 0 ? " error" : "") + "; ";
    }
    // 10.77.0.20 is on eth9's LAN, which hears the broadcast: a second copy would show twice.
    EXPECT_EQ(records, "255.255.255.255 on eth9 0/1 error; 127.0.0.1 1/0; ");
    ReleasePortConnection(sender);
    fanout.SetInterfaces({});
    fanout.SetExtraDestinations({});
}

} // namespace
} // namespace kestrane::test
