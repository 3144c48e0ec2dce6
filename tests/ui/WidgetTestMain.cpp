#include "tests/support/PrivateNetwork.h"
#include "tests/support/ResourceBalance.h"
#include "ui/QtThreadSanitizerOptions.h"

#include <QApplication>
#ifdef KESTRANE_TEST_USES_DBUS
#include <QDBusConnection>
#endif
#include <QString>
#include <QThreadPool>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ostream>

QT_BEGIN_NAMESPACE
// Failures print text rather than bytes.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

int main(int argc, char** argv) {
    // A test that broadcasts by mistake reaches nobody.
    kestrane::test::EnterPrivateNetwork();
    // Widget tests need no display; test discovery at build time has none.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
#ifdef KESTRANE_TEST_USES_DBUS
    // Qt's D-Bus thread, once started, lives as long as the application: it is
    // started before the count.
    QDBusConnection::disconnectFromBus(
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                      QStringLiteral("kestrane-test-start"))
            .name());
#endif
    // Counted once the application, which the whole run keeps, is made. Qt's
    // pooled threads (image work) wait to be reused; they are ended before
    // the final count.
    testing::AddGlobalTestEnvironment(
        new kestrane::test::ResourceBalance([] { QThreadPool::globalInstance()->waitForDone(); }));
    return RUN_ALL_TESTS();
}
