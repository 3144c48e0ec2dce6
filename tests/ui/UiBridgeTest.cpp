#include "ui/UiBridge.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace kestrane {
namespace {

TEST(UiBridgeTest, CallFromAnotherThreadRunsOnTheUiThreadAndWaits) {
    UiBridge bridge;
    std::atomic<bool> returned{false};
    bool ranOnUiThread = false;
    std::thread caller([&] {
        EXPECT_TRUE(
            bridge.Call([&] { ranOnUiThread = QThread::currentThread() == qApp->thread(); }));
        returned = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }));
    caller.join();
    EXPECT_TRUE(ranOnUiThread);
}

TEST(UiBridgeTest, CallOnTheUiThreadRunsAtOnce) {
    UiBridge bridge;
    int runs = 0;
    EXPECT_TRUE(bridge.Call([&] { ++runs; }));
    EXPECT_EQ(runs, 1);
}

TEST(UiBridgeTest, ClosedBridgeReturnsAtOnceWithoutRunning) {
    UiBridge bridge;
    bridge.Close();
    int runs = 0;
    std::thread caller([&] { EXPECT_FALSE(bridge.Call([&] { ++runs; })); });
    caller.join(); // the UI thread does not serve events here: a wait would hang
    EXPECT_FALSE(bridge.Call([&] { ++runs; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 0);
}

TEST(UiBridgeTest, ClosingReleasesAWaitingCallThatNeverRuns) {
    UiBridge bridge;
    std::atomic<int> runs{0};
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        EXPECT_FALSE(bridge.Call([&] { ++runs; }));
        returned = true;
    });
    // The UI thread is busy (not serving events) while the caller waits, as
    // when the window's destruction waits for the listener.
    QTest::qSleep(20);
    bridge.Close();
    caller.join();
    EXPECT_TRUE(returned.load());
    QCoreApplication::processEvents();
    EXPECT_EQ(runs.load(), 0);
}

TEST(UiBridgeTest, ManyCallersWithCloseInTheMiddleNeverHang) {
    for (int round = 0; round < 20; ++round) {
        auto bridge = std::make_unique<UiBridge>();
        std::atomic<int> finished{0};
        std::vector<std::thread> callers;
        for (int index = 0; index < 4; ++index) {
            callers.emplace_back([&] {
                for (int call = 0; call < 50; ++call) {
                    bridge->Call([] {});
                }
                ++finished;
            });
        }
        QCoreApplication::processEvents();
        bridge->Close();
        for (std::thread& caller : callers) {
            caller.join();
        }
        EXPECT_EQ(finished.load(), 4);
        bridge.reset();
        QCoreApplication::processEvents();
    }
}

} // namespace
} // namespace kestrane
