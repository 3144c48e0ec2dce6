#include "port/HostLookup.h"
#include "port/port.h"
#include "tests/port/LoopbackStream.h"
#include "tests/support/ProcessCounts.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using test::LoopbackStream;

struct StreamReception {
    bool hasData = false;
    std::string bytes;
    std::uint32_t id = 0;
    std::string peerName;
    PortSocket socket = PORT_NO_SOCKET;
    bool socketOpen = false;
    int answer = 0;
};

// Listener callbacks are plain functions, so what they see, and how they are
// to behave, is kept here.
struct StreamRecorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<StreamReception> receptions; // guarded by mutex
    std::vector<std::uint32_t> accepted;     // guarded by mutex
    std::vector<std::uint32_t> disconnected; // guarded by mutex
    std::vector<int> closeResults;           // guarded by mutex
    std::atomic<bool> echo{false};
    std::atomic<bool> holdUntilDisconnect{false};
    std::atomic<int> refuseCount{0};
    std::atomic<std::uint32_t> closeOnAccept{0};
    std::atomic<bool> closeSelfOnDisconnect{false};
    PortListener* listener = nullptr;

    template <typename Predicate>
    bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 3s) {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, limit, [&] { return done(*this); });
    }
    template <typename Change> void Record(Change change) {
        {
            std::lock_guard guard(mutex);
            change(*this);
        }
        changed.notify_all();
    }
    std::string JoinedBytes() {
        std::lock_guard guard(mutex);
        std::string joined;
        for (const StreamReception& reception : receptions) {
            joined += reception.bytes;
        }
        return joined;
    }
};
StreamRecorder* streamRecorder = nullptr;

std::int32_t RecordStreamReception(PortConnection* node) {
    StreamReception reception;
    if (const char* data = node->GetData()) {
        reception.hasData = true;
        reception.bytes.assign(data, static_cast<std::size_t>(node->GetDataLength()));
    }
    reception.id = node->GetId();
    reception.peerName = node->GetPeerName();
    reception.socket = node->GetSocket();
    if (streamRecorder->holdUntilDisconnect.load()) {
        streamRecorder->WaitUntil([&](auto& r) { return !r.disconnected.empty(); });
    }
    reception.socketOpen = fcntl(reception.socket, F_GETFD) != -1;
    if (streamRecorder->echo.load() && reception.hasData) {
        reception.answer = node->Send(node->GetData(), node->GetDataLength());
    }
    streamRecorder->Record([&](auto& r) { r.receptions.push_back(reception); });
    return 0;
}

std::int32_t RecordAccept(PortConnection* connection) {
    std::uint32_t id = connection->GetId();
    int closeResult = 0;
    if (std::uint32_t other = streamRecorder->closeOnAccept.exchange(0)) {
        closeResult = streamRecorder->listener->CloseConnection(other);
    }
    streamRecorder->Record([&](auto& r) {
        r.accepted.push_back(id);
        r.closeResults.push_back(closeResult);
    });
    return streamRecorder->refuseCount.fetch_sub(1) > 0 ? 0 : 1;
}

void RecordDisconnect(PortConnection* connection) {
    std::uint32_t id = connection->GetId();
    int closeResult = 0;
    if (streamRecorder->closeSelfOnDisconnect.load()) {
        closeResult = streamRecorder->listener->CloseConnection(id);
    }
    streamRecorder->Record([&](auto& r) {
        r.disconnected.push_back(id);
        r.closeResults.push_back(closeResult);
    });
}

bool NoReverseEntry(in_addr_t /*address*/) {
    return false;
}

class PortListenerTcpTest : public testing::Test {
protected:
    void SetUp() override {
        PortStopCounter = 0;
        PortIdCounter = 0;
        streamRecorder = &record;
    }
    void TearDown() override {
        if (listener != nullptr) {
            listener->Release();
        }
        PortStopCounter = 0;
        PortIdCounter = 0;
        SetReverseLookup(nullptr);
        streamRecorder = nullptr;
    }

    void Start(int mode, PortAcceptCallback onAccept = RecordAccept,
               PortNotifyCallback onDisconnect = RecordDisconnect) {
        PortStartup();
        ASSERT_EQ(
            CreatePortListener(mode, 0, RecordStreamReception, onAccept, onDisconnect, &listener),
            0);
        record.listener = listener;
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(listener->socket, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }

    std::vector<std::uint32_t> ConnectionIds() {
        std::lock_guard guard(listener->lock);
        std::vector<std::uint32_t> ids;
        for (PortConnection* connection = listener->GetConnections(); connection != nullptr;
             connection = connection->next) {
            ids.push_back(connection->GetId());
        }
        return ids;
    }

    bool WaitForConnectionCount(std::size_t count) {
        for (int wait = 0; wait < 600; ++wait) {
            if (ConnectionIds().size() == count) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    /// Connects a client and waits until the listener has it on its list.
    LoopbackStream Connect() {
        std::size_t before = ConnectionIds().size();
        LoopbackStream client = LoopbackStream::ConnectTo(port);
        EXPECT_TRUE(client.IsOpen());
        EXPECT_TRUE(WaitForConnectionCount(before + 1));
        return client;
    }

    StreamRecorder record;
    PortListener* listener = nullptr;
    int port = 0;
};

TEST_F(PortListenerTcpTest, KeepHandsOverCopiesThatMayAnswerAndKeepsTheConnectionOpen) {
    Start(LISTEN_TCP_KEEP);
    record.echo = true;
    LoopbackStream client = Connect();
    std::uint32_t id = ConnectionIds().at(0);
    EXPECT_NE(id, 0u);

    ASSERT_TRUE(client.Send("abc"));
    EXPECT_EQ(client.Receive(3, 3000), "abc");
    ASSERT_TRUE(client.Send("de"));
    EXPECT_EQ(client.Receive(2, 3000), "de");
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 2; }));
    EXPECT_EQ(ConnectionIds(), std::vector<std::uint32_t>{id});

    client.Close();
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return !r.disconnected.empty(); }));
    EXPECT_TRUE(WaitForConnectionCount(0));
    std::this_thread::sleep_for(50ms);

    std::lock_guard guard(record.mutex);
    EXPECT_EQ(record.disconnected, std::vector<std::uint32_t>{id});
    EXPECT_EQ(record.accepted, std::vector<std::uint32_t>{id});
    ASSERT_EQ(record.receptions.size(), 2u);
    for (const StreamReception& reception : record.receptions) {
        EXPECT_EQ(reception.id, id);
        EXPECT_EQ(reception.peerName, "127.0.0.1");
        EXPECT_TRUE(reception.socketOpen);
    }
    EXPECT_EQ(record.receptions[0].bytes, "abc");
    EXPECT_EQ(record.receptions[0].answer, 3);
    EXPECT_EQ(record.receptions[1].bytes, "de");
}

TEST_F(PortListenerTcpTest, KeepSplitsALargeBurstIntoOrderedReceptionsOfAtMostABuffer) {
    Start(LISTEN_TCP_KEEP);
    LoopbackStream client = Connect();
    std::string burst;
    for (int index = 0; index < 10000; ++index) {
        burst += static_cast<char>('a' + index % 26);
    }
    ASSERT_TRUE(client.Send(burst));
    ASSERT_TRUE(record.WaitUntil([&](auto& r) {
        std::size_t total = 0;
        for (const StreamReception& reception : r.receptions) {
            total += reception.bytes.size();
        }
        return total >= burst.size();
    }));
    EXPECT_EQ(record.JoinedBytes(), burst);
    std::lock_guard guard(record.mutex);
    EXPECT_GE(record.receptions.size(), 3u);
    for (const StreamReception& reception : record.receptions) {
        EXPECT_LE(reception.bytes.size(), static_cast<std::size_t>(PORT_BUFFER_SIZE));
    }
}

TEST_F(PortListenerTcpTest, SilentClientHoldsOnlyItsOwnSlot) {
    Start(LISTEN_TCP_ONCE);
    LoopbackStream silent = Connect();
    LoopbackStream talker = Connect();
    ASSERT_TRUE(talker.Send("hi"));
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 1; }));
    EXPECT_TRUE(talker.WaitForClose(3000));
    EXPECT_EQ(ConnectionIds().size(), 1u);
    std::lock_guard guard(record.mutex);
    EXPECT_EQ(record.receptions[0].bytes, "hi");
}

TEST_F(PortListenerTcpTest, OnceHandsOverTheConnectionItselfOnceThenClosesIt) {
    Start(LISTEN_TCP_ONCE);
    LoopbackStream client = Connect();
    std::uint32_t id = ConnectionIds().at(0);
    ASSERT_TRUE(client.Send("abc"));
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 1; }));
    EXPECT_TRUE(client.WaitForClose(3000));
    EXPECT_TRUE(ConnectionIds().empty());

    std::lock_guard guard(record.mutex);
    ASSERT_EQ(record.receptions.size(), 1u);
    EXPECT_EQ(record.receptions[0].bytes, "abc");
    EXPECT_EQ(record.receptions[0].id, id);
    EXPECT_EQ(record.receptions[0].peerName, "127.0.0.1");
    EXPECT_TRUE(record.receptions[0].socketOpen);
    EXPECT_TRUE(record.disconnected.empty());
}

TEST_F(PortListenerTcpTest, OnceHandsOverAClientThatLeftWithoutDataAtOnce) {
    Start(LISTEN_TCP_ONCE);
    LoopbackStream client = Connect();
    client.Close();
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 1; }));
    std::lock_guard guard(record.mutex);
    EXPECT_FALSE(record.receptions[0].hasData);
}

TEST_F(PortListenerTcpTest, RefusedConnectionIsClosedAndItsIdIsUsedUp) {
    Start(LISTEN_TCP_KEEP);
    record.refuseCount = 1;
    LoopbackStream refused = LoopbackStream::ConnectTo(port);
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.accepted.size() == 1; }));
    EXPECT_TRUE(refused.WaitForClose(3000));
    EXPECT_TRUE(ConnectionIds().empty());

    LoopbackStream kept = Connect();
    std::vector<std::uint32_t> ids = ConnectionIds();
    std::lock_guard guard(record.mutex);
    ASSERT_EQ(record.accepted.size(), 2u);
    EXPECT_EQ(record.accepted[1], record.accepted[0] + 1);
    EXPECT_EQ(ids, std::vector<std::uint32_t>{record.accepted[1]});
}

TEST_F(PortListenerTcpTest, IdsWrapAfterTheLargestToOne) {
    PortIdCounter = PORT_MAX_CONNECTION_ID - 1;
    Start(LISTEN_TCP_KEEP);
    LoopbackStream first = Connect();
    LoopbackStream second = Connect();
    EXPECT_EQ(ConnectionIds(), (std::vector<std::uint32_t>{1u, PORT_MAX_CONNECTION_ID}));
}

TEST_F(PortListenerTcpTest, PeerWithoutReverseEntryIsNamedUnknown) {
    SetReverseLookup(NoReverseEntry);
    Start(LISTEN_TCP_KEEP);
    LoopbackStream client = Connect();
    std::lock_guard guard(listener->lock);
    EXPECT_STREQ(listener->GetConnections()->GetPeerName(), "<<Unknown>>");
}

TEST_F(PortListenerTcpTest, ServesUpToTheLimitAndClosesFurtherClientsAtAccept) {
    Start(LISTEN_TCP_KEEP, nullptr, nullptr);
    std::vector<LoopbackStream> clients;
    for (int index = 0; index < PORT_MAX_CONNECTIONS; ++index) {
        clients.push_back(Connect());
    }
    LoopbackStream surplus = LoopbackStream::ConnectTo(port);
    EXPECT_TRUE(surplus.WaitForClose(3000));
    EXPECT_EQ(ConnectionIds().size(), static_cast<std::size_t>(PORT_MAX_CONNECTIONS));

    clients.front().Close();
    ASSERT_TRUE(WaitForConnectionCount(PORT_MAX_CONNECTIONS - 1));
    LoopbackStream late = Connect();
    ASSERT_TRUE(late.Send("late"));
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 1; }));
}

TEST_F(PortListenerTcpTest, CloseConnectionEndsOnlyAKnownConnection) {
    Start(LISTEN_TCP_KEEP);
    LoopbackStream client = Connect();
    std::vector<std::uint32_t> ids = ConnectionIds();
    EXPECT_EQ(listener->CloseConnection(ids[0] + 100), -1);
    EXPECT_EQ(ConnectionIds(), ids);

    EXPECT_EQ(listener->CloseConnection(ids[0]), 0);
    EXPECT_TRUE(ConnectionIds().empty());
    EXPECT_TRUE(client.WaitForClose(3000));
    EXPECT_EQ(listener->CloseConnection(ids[0]), -1);
}

TEST_F(PortListenerTcpTest, CloseConnectionWorksFromTheAcceptAndDisconnectCallbacks) {
    Start(LISTEN_TCP_KEEP);
    LoopbackStream first = Connect();
    std::uint32_t firstId = ConnectionIds().at(0);
    record.closeOnAccept = firstId;
    LoopbackStream second = LoopbackStream::ConnectTo(port);
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.accepted.size() == 2; }));
    EXPECT_TRUE(first.WaitForClose(3000));
    EXPECT_EQ(ConnectionIds().size(), 1u);

    record.closeSelfOnDisconnect = true;
    second.Close();
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.disconnected.size() == 1; }));
    EXPECT_TRUE(WaitForConnectionCount(0));
    std::lock_guard guard(record.mutex);
    EXPECT_EQ(record.closeResults, (std::vector<int>{0, 0, 0}));
}

TEST_F(PortListenerTcpTest, CloseConnectionFromAnotherThreadDuringTrafficIsSafe) {
    Start(LISTEN_TCP_KEEP);
    std::vector<LoopbackStream> clients;
    for (int index = 0; index < 8; ++index) {
        clients.push_back(Connect());
    }
    std::atomic<bool> sending{true};
    std::thread traffic([&] {
        while (sending.load()) {
            for (const LoopbackStream& client : clients) {
                client.Send("tick");
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    for (std::uint32_t id : ConnectionIds()) {
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(listener->CloseConnection(id), 0);
    }
    sending = false;
    traffic.join();
    EXPECT_TRUE(ConnectionIds().empty());
    for (const LoopbackStream& client : clients) {
        EXPECT_TRUE(client.WaitForClose(3000));
    }
}

TEST_F(PortListenerTcpTest, SocketOfACopyStaysOpenUntilTheCallbackReturns) {
    Start(LISTEN_TCP_KEEP);
    int before = test::OpenDescriptorCount();
    record.holdUntilDisconnect = true;
    record.echo = true;
    LoopbackStream client = Connect();
    ASSERT_TRUE(client.Send("bye"));
    // The copy is on its way or in the callback, which waits for the close.
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.accepted.size() == 1; }));
    client.Close();
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 1; }));
    {
        std::lock_guard guard(record.mutex);
        EXPECT_TRUE(record.receptions[0].socketOpen);
        EXPECT_EQ(record.disconnected.size(), 1u);
    }
    bool released = false;
    for (int wait = 0; wait < 300 && !released; ++wait) {
        released = test::OpenDescriptorCount() == before;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(released) << "the held-back socket must be closed after the callback";
}

TEST_F(PortListenerTcpTest, ReleaseClosesOpenConnectionsPromptly) {
    Start(LISTEN_TCP_KEEP);
    LoopbackStream client = Connect();
    auto started = std::chrono::steady_clock::now();
    listener->Release();
    listener = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1600ms);
    EXPECT_TRUE(client.WaitForClose(3000));
}

TEST(PortListenerTcpSetUp, PortInUseFailsLeavesOutUntouchedAndBalancesStartup) {
    LoopbackStream holder = LoopbackStream::Listening();
    PortStartup();
    int startups = PortStartupCount();
    auto* sentinel = reinterpret_cast<PortListener*>(0x1234);
    PortListener* out = sentinel;
    EXPECT_EQ(CreatePortListener(LISTEN_TCP_KEEP, holder.Port(), RecordStreamReception, nullptr,
                                 nullptr, &out),
              -1);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(PortStartupCount(), startups - 1);
}

} // namespace
} // namespace kestrane
