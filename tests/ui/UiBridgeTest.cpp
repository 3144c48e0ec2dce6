#include "ui/UiBridge.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

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

TEST(UiBridgeTest, PostedCallsRunLaterInOrderWithCallsAndTheQueueIsBounded) {
    UiBridge bridge;
    std::vector<int> order; // UI thread only
    std::atomic<bool> posted{false};
    std::atomic<bool> returned{false};
    std::thread dispatcher([&] {
        for (int index = 0; index < static_cast<int>(UiBridge::kPostCeiling); ++index) {
            EXPECT_TRUE(bridge.Post([&, index] { order.push_back(index); }));
        }
        posted = true;
        // The queue is full: this one waits until the UI thread has run it all.
        EXPECT_TRUE(bridge.Post([&] { order.push_back(-1); }));
        EXPECT_TRUE(bridge.Call([&] { order.push_back(-2); }));
        returned = true;
    });
    // The UI thread serves no events yet: every post returned without waiting.
    while (!posted) {
        std::this_thread::yield();
    }
    QTest::qSleep(20);
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }));
    dispatcher.join();
    ASSERT_EQ(order.size(), UiBridge::kPostCeiling + 2);
    for (int index = 0; index < static_cast<int>(UiBridge::kPostCeiling); ++index) {
        ASSERT_EQ(order[static_cast<std::size_t>(index)], index);
    }
    EXPECT_EQ(order[UiBridge::kPostCeiling], -1);
    EXPECT_EQ(order[UiBridge::kPostCeiling + 1], -2);
}

TEST(UiBridgeTest, PostedCallsThatHaveNotRunWhenTheBridgeClosesNeverRun) {
    UiBridge bridge;
    std::atomic<int> runs{0};
    std::thread dispatcher([&] { EXPECT_TRUE(bridge.Post([&] { ++runs; })); });
    dispatcher.join();
    bridge.Close();
    std::thread late([&] { EXPECT_FALSE(bridge.Post([&] { ++runs; })); });
    late.join();
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
                    bridge->Post([] {});
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
