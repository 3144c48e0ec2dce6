#include "port/port.h"
#include "tests/support/LoopbackSocket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;

struct Reception {
    bool hasData = false;
    std::string bytes;
    int length = -1;
    bool terminated = false;
    std::uint32_t id = 99;
    std::string peerName;
    PortSocket socket = PORT_NO_SOCKET;
};

// Receive callbacks are plain functions, so what they see is kept here.
struct Recorder {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Reception> receptions; // guarded by mutex
    std::atomic<int> result{0};
    std::atomic<int> delayMilliseconds{0};

    bool WaitForCount(std::size_t count, std::chrono::milliseconds limit = 3s) {
        std::unique_lock guard(mutex);
        return arrived.wait_for(guard, limit, [&] { return receptions.size() >= count; });
    }
    std::vector<Reception> Snapshot() {
        std::lock_guard guard(mutex);
        return receptions;
    }
};
Recorder* recorder = nullptr;

std::int32_t RecordReception(PortConnection* node) {
    Reception reception;
    char* data = node->GetData();
    reception.hasData = data != nullptr;
    reception.length = node->GetDataLength();
    if (data != nullptr) {
        reception.bytes.assign(data, static_cast<std::size_t>(reception.length));
        reception.terminated = data[reception.length] == '\0';
    }
    reception.id = node->GetId();
    reception.peerName = node->GetPeerName();
    reception.socket = node->GetSocket();
    if (int delay = recorder->delayMilliseconds.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    {
        std::lock_guard guard(recorder->mutex);
        recorder->receptions.push_back(reception);
    }
    recorder->arrived.notify_all();
    return recorder->result.load();
}

class PortListenerUdpTest : public testing::Test {
protected:
    void SetUp() override {
        PortStopCounter = 0;
        recorder = &record;
        PortStartup();
        port = test::FreeUdpPort();
        ASSERT_EQ(
            CreatePortListener(LISTEN_UDP, port, RecordReception, nullptr, nullptr, &listener), 0);
    }
    void TearDown() override {
        if (listener != nullptr) {
            listener->Release();
        }
        PortStopCounter = 0;
        recorder = nullptr;
    }

    Recorder record;
    test::LoopbackSocket peer;
    PortListener* listener = nullptr;
    int port = 0;
};

TEST_F(PortListenerUdpTest, DatagramArrivesAsNodeWithTerminatedDataTheSenderAndNoId) {
    std::string bytes("twenty bytes\0of data", 20);
    ASSERT_TRUE(peer.SendTo(port, bytes));
    ASSERT_TRUE(record.WaitForCount(1));

    Reception reception = record.Snapshot().at(0);
    EXPECT_TRUE(reception.hasData);
    EXPECT_EQ(reception.length, 20);
    EXPECT_EQ(reception.bytes, bytes);
    EXPECT_TRUE(reception.terminated);
    EXPECT_EQ(reception.id, 0u);
    EXPECT_EQ(reception.peerName, "127.0.0.1");
    EXPECT_EQ(reception.socket, listener->socket);
    EXPECT_NE(fcntl(listener->socket, F_GETFD), -1)
        << "the node must not close the borrowed socket";
    EXPECT_TRUE(listener->IsRunning());
}

TEST_F(PortListenerUdpTest, ReceptionsAreHandedOverInArrivalOrder) {
    constexpr int count = 50;
    for (int index = 0; index < count; ++index) {
        ASSERT_TRUE(peer.SendTo(port, std::to_string(index)));
    }
    ASSERT_TRUE(record.WaitForCount(count));
    std::vector<Reception> receptions = record.Snapshot();
    for (int index = 0; index < count; ++index) {
        EXPECT_EQ(receptions[static_cast<std::size_t>(index)].bytes, std::to_string(index));
    }
}

TEST_F(PortListenerUdpTest, OversizeDatagramIsHandedOverWithoutDataAndLargestFitsWhole) {
    ASSERT_TRUE(peer.SendTo(port, std::string(5000, 'x')));
    ASSERT_TRUE(peer.SendTo(port, std::string(PORT_BUFFER_SIZE, 'y')));
    ASSERT_TRUE(record.WaitForCount(2));

    std::vector<Reception> receptions = record.Snapshot();
    EXPECT_FALSE(receptions[0].hasData);
    EXPECT_EQ(receptions[0].length, 0);
    EXPECT_TRUE(receptions[1].hasData);
    EXPECT_EQ(receptions[1].bytes, std::string(PORT_BUFFER_SIZE, 'y'));
}

TEST_F(PortListenerUdpTest, NonZeroCallbackResultStopsTheDispatcherButNotReception) {
    record.result = 1;
    ASSERT_TRUE(peer.SendTo(port, "first"));
    ASSERT_TRUE(record.WaitForCount(1));
    // The callback records before it returns; its result is added just after.
    for (int wait = 0; wait < 300 && PortStopCounter.load() == 0; ++wait) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(PortStopCounter.load(), 1);

    ASSERT_TRUE(peer.SendTo(port, "second"));
    EXPECT_FALSE(record.WaitForCount(2, 300ms));
    EXPECT_TRUE(listener->IsRunning());
}

TEST_F(PortListenerUdpTest, ReleaseWaitsForASlowCallbackAndNothingRunsAfterIt) {
    record.delayMilliseconds = 200;
    for (int index = 0; index < 5; ++index) {
        ASSERT_TRUE(peer.SendTo(port, "slow"));
    }
    ASSERT_TRUE(record.WaitForCount(1));

    auto started = std::chrono::steady_clock::now();
    listener->Release();
    listener = nullptr;
    std::size_t seen = record.Snapshot().size();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3500ms);

    ASSERT_TRUE(peer.SendTo(port, "late"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(record.Snapshot().size(), seen);
}

TEST_F(PortListenerUdpTest, ReleaseOfAnIdleListenerReturnsPromptly) {
    auto started = std::chrono::steady_clock::now();
    listener->Release();
    listener = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3500ms);
}

TEST_F(PortListenerUdpTest, DispatcherStartedWhileStopCounterIsSetNeverCallsBack) {
    PortStopCounter = 1;
    PortListener* second = nullptr;
    int secondPort = test::FreeUdpPort();
    PortStartup();
    ASSERT_EQ(
        CreatePortListener(LISTEN_UDP, secondPort, RecordReception, nullptr, nullptr, &second), 0);
    ASSERT_TRUE(peer.SendTo(secondPort, "ignored"));
    EXPECT_FALSE(record.WaitForCount(1, 300ms));
    second->Release();
}

TEST(PortListenerSetUp, PortInUseFailsLeavesOutUntouchedAndBalancesStartup) {
    test::LoopbackSocket holder; // bound without SO_REUSEADDR, so the listener cannot share it
    PortStartup();
    int startups = PortStartupCount();
    auto* sentinel = reinterpret_cast<PortListener*>(0x1234);
    PortListener* out = sentinel;
    EXPECT_EQ(
        CreatePortListener(LISTEN_UDP, holder.Port(), RecordReception, nullptr, nullptr, &out), -1);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(PortStartupCount(), startups - 1);
}

TEST(PortListenerIds, IdsRunUpToTheLargestThenStartAgainAtOne) {
    PortIdCounter = PORT_MAX_CONNECTION_ID - 1;
    EXPECT_EQ(TakePortConnectionId(), PORT_MAX_CONNECTION_ID);
    EXPECT_EQ(TakePortConnectionId(), 1u);
    EXPECT_EQ(TakePortConnectionId(), 2u);
    PortIdCounter = 0;
}

TEST(PortListenerStress, RepeatedCreateAndReleaseUnderTrafficNeitherHangsNorLeaks) {
    Recorder local;
    recorder = &local;
    PortStopCounter = 0;
    test::LoopbackSocket sender;
    for (int round = 0; round < 20; ++round) {
        PortStartup();
        int port = test::FreeUdpPort();
        PortListener* listener = nullptr;
        ASSERT_EQ(
            CreatePortListener(LISTEN_UDP, port, RecordReception, nullptr, nullptr, &listener), 0);
        for (int index = 0; index < 20; ++index) {
            sender.SendTo(port, "burst");
        }
        listener->Release();
    }
    recorder = nullptr;
}

} // namespace
} // namespace kestrane

namespace kestrane {
namespace {

std::atomic<bool> gateOpen{false};
std::atomic<int> gatedDeliveries{0};

std::int32_t WaitAtTheGate(PortConnection* /*node*/) {
    while (!gateOpen.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gatedDeliveries.fetch_add(1);
    return 0;
}

TEST(PortListenerCeiling, ASlowCallbackNeverLetsThePendingListGrowPastItsCeiling) {
    PortStopCounter = 0;
    gateOpen = false;
    gatedDeliveries = 0;
    PortStartup();
    int port = test::FreeUdpPort();
    PortListener* listener = nullptr;
    ASSERT_EQ(CreatePortListener(LISTEN_UDP, port, WaitAtTheGate, nullptr, nullptr, &listener), 0);
    test::LoopbackSocket peer;
    constexpr int sent = PORT_PENDING_LIMIT * 2;
    for (int index = 0; index < sent; ++index) {
        peer.SendTo(port, "x");
        if (index % 100 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // let the poll thread drain
        }
    }
    for (int wait = 0; wait < 300 && listener->droppedReceptions.load() == 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard guard(listener->lock);
        EXPECT_LE(listener->pendingCount, PORT_PENDING_LIMIT);
    }
    EXPECT_GT(listener->droppedReceptions.load(), 0);
    gateOpen = true;
    listener->Release();
    EXPECT_LE(gatedDeliveries.load(), PORT_PENDING_LIMIT + 1);
}

} // namespace
} // namespace kestrane
