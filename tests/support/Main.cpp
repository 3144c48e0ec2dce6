#include "core/threads/QtThreadSanitizerOptions.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ResourceBalance.h"

#include <QApplication>
#include <QDBusConnection>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <cstdlib>
#include <gtest/gtest.h>

// The main of the one test binary: widgets offscreen (test discovery at build
// time has no display), and a run that must end holding no more descriptors
// or threads than it began with.
int main(int argc, char** argv) {
    // A test that broadcasts by mistake reaches nobody.
    kestrane::test::EnterPrivateNetwork();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Settings the tests write stay out of the user's own.
    const QTemporaryDir settingsHome;
    setenv("XDG_CONFIG_HOME", settingsHome.path().toLocal8Bit().constData(), 1);
    // Nor do notifications reach the desktop of whoever runs them: tests that
    // need a session bus start their own.
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // No start is the account's first unless a test says so.
    QSettings(QStringLiteral("kestrane"), QStringLiteral("kestrane"))
        .setValue(QStringLiteral("window/welcomed"), true);
    testing::InitGoogleTest(&argc, argv);
    // Qt's D-Bus thread lives as long as the application once started: it is
    // started before the count.
    QDBusConnection::disconnectFromBus(
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                      QStringLiteral("kestrane-test-start"))
            .name());
    // Qt's pooled threads (image work) wait to be reused; they end before the count.
    testing::AddGlobalTestEnvironment(
        new kestrane::test::ResourceBalance([] { QThreadPool::globalInstance()->waitForDone(); }));
    return RUN_ALL_TESTS();
}
