#include "app/SignalWatcher.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace kestrane::test {
namespace {

// What a signal does once the watcher caught the signals, in a process of its own.
void ExitWithDisposition(int signalNumber, bool ignoredByStarter) {
    signal(signalNumber, ignoredByStarter ? SIG_IGN : SIG_DFL);
    SignalWatcher::CatchSignals();
    struct sigaction now = {};
    sigaction(signalNumber, nullptr, &now);
    _exit(now.sa_handler == SIG_IGN ? 1 : now.sa_handler == SIG_DFL ? 2 : 3);
}

TEST(SignalWatcherTest, AHangupTheStarterIgnoredStaysIgnoredAndTheRestAreCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The signal, whether the starter ignored it (as nohup does), and then: 1 ignored, 3 caught.
    const struct {
        int signalNumber;
        bool ignoredByStarter;
        int disposition;
    } cases[] = {{SIGHUP, true, 1}, {SIGHUP, false, 3}, {SIGTERM, true, 3}, {SIGINT, false, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.signalNumber << (c.ignoredByStarter ? " ignored" : ""));
        EXPECT_EXIT(ExitWithDisposition(c.signalNumber, c.ignoredByStarter),
                    testing::ExitedWithCode(c.disposition), "");
    }
}

} // namespace
} // namespace kestrane::test
