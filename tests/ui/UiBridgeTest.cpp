#include "ui/UiBridge.h"

#include "tests/ui/LoopbackDialog.h"

#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

TEST(UiBridgeTest, PostedCallsRunInOrderBeforeALaterCall) {
    UiBridge bridge;
    std::vector<int> ran; // UI thread only
    std::thread dispatcher([&] {
        for (int call = 0; call < 3; ++call) {
            bridge.Post([&ran, call] { ran.push_back(call); });
        }
        bridge.Call([&ran] { ran.push_back(3); });
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.size() == 4; }));
    bridge.Close(); // releases the caller should its call never have run
    dispatcher.join();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
}

TEST(UiBridgeTest, ClosingReleasesWaitingCallersAndEachSaysWhetherItsCallRan) {
    WithinSeconds(60, [] {
        for (int round = 0; round < 20; ++round) {
            UiBridge bridge;
            std::atomic<int> ran{0};
            std::atomic<int> reported{0};
            std::vector<std::thread> callers;
            for (int caller = 0; caller < 4; ++caller) {
                callers.emplace_back([&] {
                    for (int call = 0; call < 50; ++call) {
                        reported += bridge.Call([&] { ++ran; }) ? 1 : 0;
                    }
                });
            }
            // Serve a few, then close while the UI thread serves no more.
            EXPECT_TRUE(QTest::qWaitFor([&] { return ran > round; }));
            bridge.Close();
            for (std::thread& caller : callers) {
                caller.join();
            }
            EXPECT_EQ(ran.load(), reported.load());
            EXPECT_LT(ran.load(), 200);
        }
    });
}

} // namespace
} // namespace kestrane::test
