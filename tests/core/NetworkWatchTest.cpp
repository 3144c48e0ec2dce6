#include "core/network/NetworkWatch.h"

#include "tests/support/PrivateBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace kestrane::test {
namespace {

bool Shell(const QString& command) {
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}) == 0;
}

/// What the watch told, as "+eth 10.9.0.1 " for an address that appeared,
/// "-..." for one gone, "resumed " for a wake-up.
struct Told {
    QString text;
    NetworkWatch::Hooks Hooks() {
        auto line = [this](char sign, const NetworkInterface& i) {
            in_addr address{i.address};
            text +=
                QStringLiteral("%1%2 %3 ")
                    .arg(sign)
                    .arg(QString::fromStdString(i.name), QString::fromLatin1(inet_ntoa(address)));
        };
        return {.appeared = [line](const NetworkInterface& i) { line('+', i); },
                .gone = [line](const NetworkInterface& i,
                               const std::vector<NetworkInterface>&) { line('-', i); },
                .resumed = [this] { text += QStringLiteral("resumed "); }};
    }
};

// Runs in the test binary's own network namespace (root), where a veth pair is
// a LAN that comes and goes; logind speaks on a bus of the test's own.
TEST(NetworkWatch, GreetsANetworkThatComesUpForgetsOneThatGoesAndWakesOnlyForLogind) {
    if (geteuid() != 0 || !Shell(QStringLiteral("ip link add kt0 type veth peer name kt1"))) {
        GTEST_SKIP() << "needs root in the tests' private network";
    }
    PrivateBus bus;
    ASSERT_TRUE(bus.IsUp());
    {
        QDBusConnection login = bus.Connect(QStringLiteral("login"));
        QDBusConnection other = bus.Connect(QStringLiteral("other"));
        ASSERT_TRUE(login.registerService(QStringLiteral("org.freedesktop.login1")));
        Told told;
        NetworkWatch watch(told.Hooks(), bus.Connect(QStringLiteral("system")));
        watch.Start();
        const QString before = told.text;

        ASSERT_TRUE(
            Shell(QStringLiteral("ip addr add 10.9.0.1/24 brd + dev kt0 && ip link set kt1 up "
                                 "&& ip link set kt0 up")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !told.text.isEmpty(); }, 5000));
        ASSERT_TRUE(Shell(QStringLiteral("ip addr del 10.9.0.1/24 dev kt0")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return told.text.contains('-'); }, 5000));

        auto sleep = [](QDBusConnection& from, bool sleeping) {
            QDBusMessage signal =
                QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                           QStringLiteral("org.freedesktop.login1.Manager"),
                                           QStringLiteral("PrepareForSleep"));
            signal << sleeping;
            from.send(signal);
            from.interface()->isServiceRegistered(
                QStringLiteral("org.freedesktop.login1")); // flushed
        };
        sleep(other, false); // anybody on the bus may send it; only logind is believed
        sleep(login, true);
        sleep(login, false);
        // Its reply comes behind the signals: every one of them has been handled after it.
        QDBusConnection(QStringLiteral("system")).interface()->isServiceRegistered(QString());
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return told.text.contains(QStringLiteral("resumed")); }, 5000));
        QCoreApplication::processEvents();
        EXPECT_EQ((before + told.text).toStdString(), "+kt0 10.9.0.1 -kt0 10.9.0.1 resumed ");
        EXPECT_TRUE(watch.Current().empty());
    }
    Shell(QStringLiteral("ip link del kt0"));
}

} // namespace
} // namespace kestrane::test
