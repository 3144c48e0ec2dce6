#include "ui/network/NetworkView.h"

#include "core/network/ExtraHosts.h"
#include "core/network/FirewallProbe.h"
#include "core/network/HeardHosts.h"
#include "core/network/NetworkDiagnosis.h"
#include "core/threads/BoundedLookup.h"
#include "port/HostLookup.h"
#include "security/Fingerprint.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <net/if.h>
#include <system_error>

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;
using Kind = FirewallProbe::Kind;

constexpr unsigned kUsable = IFF_UP | IFF_RUNNING | IFF_BROADCAST;

NetworkInterface Address(unsigned index, const char* name, const char* dotted, int prefix,
                         unsigned flags = kUsable) {
    NetworkInterface address{index, name, inet_addr(dotted), htonl(~0u << (32 - prefix)), 0, flags};
    if ((flags & IFF_BROADCAST) != 0) {
        address.broadcast = address.Network() | ~address.netmask;
    }
    return address;
}

TEST(NetworkView, WhyUnusedNamesTheReasonTheRuleLeftAnAddressOut) {
    const struct {
        NetworkInterface address;
        QString why; // a part of the reason; empty when used
    } cases[] = {
        {Address(2, "eth0", "10.77.0.3", 24), ""},
        {Address(1, "lo", "127.0.0.1", 8, IFF_UP | IFF_RUNNING | IFF_LOOPBACK), "loopback"},
        {Address(3, "tun0", "10.8.0.2", 24, IFF_UP | IFF_RUNNING | IFF_POINTOPOINT), "VPN"},
        {Address(4, "eth1", "192.168.5.2", 24, IFF_RUNNING | IFF_BROADCAST), "down"},
        {Address(5, "eth2", "192.168.6.2", 24, IFF_UP | IFF_BROADCAST), "no carrier"},
        {Address(6, "eth3", "192.168.7.2", 24, IFF_UP | IFF_RUNNING), "no broadcast address"},
        {Address(7, "docker0", "172.17.0.1", 16), "container"},
        {Address(2, "eth0", "10.77.9.9", 24), "of this interface is used: eth0 (10.77.0.3)"},
        {Address(8, "wlan0", "10.77.0.5", 24), "same subnet is used: eth0 (10.77.0.3)"},
    };
    std::vector<NetworkInterface> all;
    for (const auto& c : cases) {
        all.push_back(c.address);
    }
    const std::vector<NetworkInterface> used = BroadcastInterfaces(all);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.name + " " + DottedAddress(c.address.address));
        const QString why = NetworkDiagnosis::WhyUnused(c.address, used);
        EXPECT_EQ(why.isEmpty(), c.why.isEmpty()) << why.toStdString();
        EXPECT_TRUE(why.contains(c.why)) << why.toStdString();
    }
}

NetworkDiagnosis::Facts QuietFacts(Kind firewall) {
    const Clock::time_point now = Clock::now();
    const NetworkInterface eth0 = Address(2, "eth0", "10.77.0.3", 24);
    return {{Address(1, "lo", "127.0.0.1", 8, IFF_UP | IFF_RUNNING | IFF_LOOPBACK), eth0},
            {eth0},
            {{"eth0", "255.255.255.255 on eth0", 12, 0, now - 5s, 0}},
            {},
            now - 40s,
            now,
            firewall};
}

TEST(NetworkView, ExplainPutsTheLikeliestCauseFirst) {
    const QString nothingHeard = "Nothing has been heard from any other computer although "
                                 "hellos went out on eth0 (10.77.0.3) at ";
    const struct {
        const char* name;
        std::function<void(NetworkDiagnosis::Facts&)> change;
        QStringList first; // parts of the first paragraph
        QString absent;    // in no paragraph
    } cases[] = {
        {"nothing heard, firewalld",
         [](auto&) {},
         {nothingHeard + "%1. Either",
          "firewalld is running: to open Kestrane's ports, run:\nsudo firewall-cmd"},
         "No firewall"},
        {"nothing heard, ufw",
         [](auto& f) { f.firewall = Kind::Ufw; },
         {"ufw is running: to open Kestrane's ports, run:\nsudo ufw allow Kestrane"},
         "firewalld"},
        {"nothing heard, no firewall",
         [](auto& f) { f.firewall = Kind::None; },
         {"No firewall that Kestrane knows"},
         "sudo"},
        {"too early to tell",
         [](auto& f) { f.started = f.now - 20s; },
         {"Extra hosts..."},
         "Nothing has been heard"},
        {"hosts heard",
         [](auto& f) {
             f.heard = {{"pc2", "10.77.0.4", f.now, 3}, {"pc9", "10.9.0.9", f.now, 1}};
         },
         {"Hosts were heard on eth0: 1, routed: 1."},
         "sudo"},
        {"heard on one network only",
         [](auto& f) {
             f.all.push_back(Address(3, "eth1", "192.168.5.2", 24));
             f.used.push_back(f.all.back());
             f.heard = {{"pc2", "10.77.0.4", f.now, 3}};
         },
         {"Nothing was heard on eth1 (192.168.5.2) while"},
         "Nothing has been heard"},
        {"no usable network",
         [](auto& f) {
             f.used.clear();
             f.sends.clear();
         },
         {"No network of this computer carries broadcasts"},
         "sudo"},
        {"a send fails",
         [](auto& f) {
             f.sends = {{"default route", "255.255.255.255", 0, 4, {}, ENETUNREACH}};
         },
         {QString::fromStdString("fails: " + std::generic_category().message(ENETUNREACH))},
         "Nothing has been heard"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NetworkDiagnosis::Facts facts = QuietFacts(Kind::Firewalld);
        c.change(facts);
        const QStringList paragraphs = NetworkDiagnosis::Explain(facts);
        ASSERT_FALSE(paragraphs.isEmpty());
        const QString time =
            facts.sends.empty() ? "" : NetworkDiagnosis::TimeOfDay(facts.sends[0].lastSent);
        for (const QString& part : c.first) {
            EXPECT_TRUE(paragraphs.first().contains(QString(part).replace("%1", time)))
                << paragraphs.join("\n").toStdString();
        }
        EXPECT_FALSE(paragraphs.join("\n").contains(c.absent))
            << paragraphs.join("\n").toStdString();
        EXPECT_TRUE(paragraphs.last().contains("Extra hosts..."));
    }
}

TEST(NetworkView, FirewallProbeTellsWhichFilterRunsFromTheFileTree) {
    const char* nftablesModule = "nf_tables 286720 1 nft_compat, Live 0x0\n";
    const struct {
        const char* name;
        std::vector<std::pair<QString, QByteArray>> files;
        Kind expected;
    } cases[] = {
        {"nothing", {}, Kind::None},
        {"firewalld runs",
         {{"proc/812/comm", "firewalld\n"}, {"proc/1/comm", "systemd\n"}},
         Kind::Firewalld},
        {"firewalld stopped, its run folder left",
         {{"run/firewalld/x", ""}, {"proc/1/comm", "systemd\n"}},
         Kind::None},
        {"ufw enabled",
         {{"etc/ufw/ufw.conf", "# comment\nENABLED=yes\nLOGLEVEL=low\n"}},
         Kind::Ufw},
        {"ufw installed, off", {{"etc/ufw/ufw.conf", "ENABLED=no\n"}}, Kind::None},
        {"firewalld before ufw",
         {{"etc/ufw/ufw.conf", "ENABLED=yes\n"}, {"proc/9/comm", "firewalld\n"}},
         Kind::Firewalld},
        {"nftables service",
         {{"proc/modules", nftablesModule},
          {"etc/systemd/system/sysinit.target.wants/nftables.service", ""}},
         Kind::Nftables},
        {"nf_tables for iptables-nft only", {{"proc/modules", nftablesModule}}, Kind::None},
        {"ip_tables",
         {{"proc/modules", "x_tables 53248 1 ip_tables, Live 0x0\nip_tables 32768 0 - Live 0x0\n"}},
         Kind::Iptables},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir root;
        for (const auto& [path, content] : c.files) {
            QDir(root.path()).mkpath(QFileInfo(root.filePath(path)).path());
            QFile file(root.filePath(path));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        EXPECT_EQ(FirewallProbe::Running(root.path()), c.expected);
    }
}

// The names the commands open are the ones the package installs.
TEST(NetworkView, FirewallCommandsNameThePackagedProfiles) {
    const QDir packaging(KESTRANE_PACKAGING_DIR);
    const QString service = QFileInfo(packaging.filePath("firewalld/kestrane.xml")).baseName();
    EXPECT_TRUE(
        FirewallProbe::OpenCommand(Kind::Firewalld).contains("--add-service=" + service + " "));
    QSettings profile(packaging.filePath("ufw/kestrane"), QSettings::IniFormat);
    ASSERT_EQ(profile.childGroups().size(), 1);
    EXPECT_TRUE(
        FirewallProbe::OpenCommand(Kind::Ufw).endsWith("ufw allow " + profile.childGroups()[0]));
    for (Kind kind : {Kind::Nftables, Kind::Iptables}) {
        const QString command = FirewallProbe::OpenCommand(kind);
        EXPECT_TRUE(command.contains("udp") && command.contains("tcp") && command.contains("9000"));
    }
}

QString Cell(const NetworkView& view, const char* table, int row, int column) {
    const auto* found = view.findChild<QTableWidget*>(table);
    const QTableWidgetItem* item = found == nullptr ? nullptr : found->item(row, column);
    return item == nullptr ? QStringLiteral("(no cell)") : item->text();
}

TEST(NetworkView, ShowsSendsAndHostsAsPlainTextAndRefreshesWhileShown) {
    HeardHosts heard;
    BoundedLookup lookups;
    ExtraHosts extras(lookups, [] {});
    NetworkView view(heard, extras, Clock::now());
    NetworkDiagnosis::Facts facts = QuietFacts(Kind::None);
    facts.heard = {{"<b>pc2</b>", "10.77.0.4", facts.now, 3}};
    view.Show(facts);
    EXPECT_EQ(Cell(view, "addresses", 1, 3), "used");
    EXPECT_EQ(Cell(view, "sends", 0, 1), "255.255.255.255 on eth0");
    EXPECT_EQ(Cell(view, "sends", 0, 2), "12");
    EXPECT_EQ(Cell(view, "heard", 0, 0), "<b>pc2</b>");
    EXPECT_EQ(Cell(view, "heard", 0, 2), "eth0");
    EXPECT_EQ(view.findChild<QLabel*>("diagnosis")->textFormat(), Qt::PlainText);
    const std::array<std::uint8_t, 32> secret{7};
    view.ShowOwnKey(*KeyPair::FromPrivate(secret));
    EXPECT_EQ(view.findChild<QLabel*>("ownKey")->text().toStdString(),
              "This computer's key: " + Fingerprint(KeyPair::FromPrivate(secret)->Public()));

    view.show();
    heard.Note("pc3\n", "10.9.0.9");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(view, "heard", 0, 0) == "pc3 "; }, 5000));
    EXPECT_EQ(Cell(view, "heard", 0, 2), "routed");
}

} // namespace
} // namespace kestrane::test
