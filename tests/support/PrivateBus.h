#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace kestrane::test {

/// A session bus of the test's own (a dbus-daemon on a socket in a temporary
/// folder), and the connections made to it, which end before it does.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool IsUp() const;
    QString Address() const;
    /// A new connection to the bus, named `name` in this process.
    QDBusConnection Connect(const QString& name);

private:
    QTemporaryDir folder;
    QProcess daemon;
    QStringList connections;
};

} // namespace kestrane::test
