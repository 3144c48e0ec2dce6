#include "core/threads/QtThreadSanitizerOptions.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ResourceBalance.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

// The main of the running copy's tests: a core application with no display
// at all, which is how a copy without a desktop runs; a run must end holding
// no more descriptors or threads than it began with.
int main(int argc, char** argv) {
    kestrane::test::EnterPrivateNetwork();
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    const QTemporaryDir settingsHome;
    setenv("XDG_CONFIG_HOME", settingsHome.path().toLocal8Bit().constData(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    // Qt's D-Bus thread lives as long as the application once started.
    QDBusConnection::disconnectFromBus(
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                      QStringLiteral("kestrane-test-start"))
            .name());
    testing::AddGlobalTestEnvironment(new kestrane::test::ResourceBalance([] {}));
    return RUN_ALL_TESTS();
}
