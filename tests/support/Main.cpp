#include "tests/support/ResourceBalance.h"
#include "ui/QtThreadSanitizerOptions.h"

#include <QApplication>
#include <QDBusConnection>
#include <QThreadPool>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

QT_BEGIN_NAMESPACE
// Failures print text rather than bytes.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

// A network namespace of the run's own with its loopback up, where one can be
// made: a test that broadcasts by mistake reaches nobody.
void EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return;
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(control, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ioctl(control, SIOCSIFFLAGS, &request);
    }
    close(control);
}

} // namespace

// The main of the one test binary: widgets offscreen (test discovery at build
// time has no display), and a run that must end holding no more descriptors
// or threads than it began with.
int main(int argc, char** argv) {
    EnterPrivateNetwork();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
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
