#pragma once

#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

namespace kestrane::test {

/// A session bus of the test's own (a dbus-daemon on a socket in a temporary
/// folder), and the connections made to it, which end before it does.
class PrivateBus {
public:
    PrivateBus() {
        daemon.start("dbus-daemon", {"--session", "--nofork", "--address=" + Address()});
        if (daemon.waitForStarted()) {
            (void)QTest::qWaitFor([this] { return IsUp(); }, 5000); // IsUp() tells
        }
    }
    ~PrivateBus() {
        for (const QString& name : connections) {
            QDBusConnection::disconnectFromBus(name);
        }
        daemon.terminate();
        daemon.waitForFinished();
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool IsUp() const { return QFile::exists(folder.filePath("bus")); }
    QString Address() const { return "unix:path=" + folder.filePath("bus"); }
    /// A new connection to the bus, named `name` in this process.
    QDBusConnection Connect(const QString& name) {
        connections << name;
        return QDBusConnection::connectToBus(Address(), name);
    }

private:
    QTemporaryDir folder;
    QProcess daemon;
    QStringList connections;
};

} // namespace kestrane::test
