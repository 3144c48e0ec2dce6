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
        // The socket file comes before the daemon takes connections on it.
        up = daemon.waitForStarted() && QTest::qWaitFor([this] { return Answers(); }, 5000);
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

    bool IsUp() const { return up; }
    QString Address() const { return "unix:path=" + folder.filePath("bus"); }
    /// A new connection to the bus, named `name` in this process.
    QDBusConnection Connect(const QString& name) {
        connections << name;
        return QDBusConnection::connectToBus(Address(), name);
    }

private:
    bool Answers() const {
        if (!QFile::exists(folder.filePath("bus"))) {
            return false;
        }
        const QString probe = QStringLiteral("private-bus-probe");
        const bool connected = QDBusConnection::connectToBus(Address(), probe).isConnected();
        QDBusConnection::disconnectFromBus(probe);
        return connected;
    }

    QTemporaryDir folder;
    bool up = false;
    QProcess daemon;
    QStringList connections;
};

} // namespace kestrane::test
