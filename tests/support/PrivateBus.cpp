#include "tests/support/PrivateBus.h"

#include <QFile>
#include <QTest>

namespace kestrane::test {

PrivateBus::PrivateBus() {
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--address=") + Address()});
    if (daemon.waitForStarted()) {
        (void)QTest::qWaitFor([this] { return IsUp(); }, 5000); // IsUp() tells
    }
}

PrivateBus::~PrivateBus() {
    for (const QString& name : connections) {
        QDBusConnection::disconnectFromBus(name);
    }
    daemon.terminate();
    daemon.waitForFinished();
}

bool PrivateBus::IsUp() const {
    return QFile::exists(folder.filePath(QStringLiteral("bus")));
}

QString PrivateBus::Address() const {
    return QStringLiteral("unix:path=") + folder.filePath(QStringLiteral("bus"));
}

QDBusConnection PrivateBus::Connect(const QString& name) {
    connections << name;
    return QDBusConnection::connectToBus(Address(), name);
}

} // namespace kestrane::test
