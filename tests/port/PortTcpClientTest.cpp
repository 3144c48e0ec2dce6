#include "port/port.h"
#include "tests/port/LoopbackStream.h"
#include "tests/support/ProcessCounts.h"

#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using test::LoopbackStream;

// Reader-thread callbacks are plain functions, so what they see is kept here.
struct ClientRecorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> receptions; // guarded by mutex
    std::vector<bool> terminated;        // guarded by mutex
    int exceptions = 0;                  // guarded by mutex

    template <typename Predicate> bool WaitUntil(Predicate done, std::chrono::milliseconds limit) {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, limit, [&] { return done(*this); });
    }
    std::size_t TotalBytes() const {
        std::size_t total = 0;
        for (const std::string& reception : receptions) {
            total += reception.size();
        }
        return total;
    }
};
ClientRecorder* clientRecorder = nullptr;

void RecordData(PortConnection* connection) {
    std::lock_guard guard(clientRecorder->mutex);
    const char* data = connection->GetData();
    int length = connection->GetDataLength();
    clientRecorder->receptions.emplace_back(data, static_cast<std::size_t>(length));
    clientRecorder->terminated.push_back(data[length] == '\0');
    clientRecorder->changed.notify_all();
}

void RecordException(PortConnection* /*connection*/) {
    std::lock_guard guard(clientRecorder->mutex);
    ++clientRecorder->exceptions;
    clientRecorder->changed.notify_all();
}

/// A TCP client of the port library connected to a plain loopback server.
class PortTcpClientTest : public testing::Test {
protected:
    void SetUp() override { clientRecorder = &record; }
    void TearDown() override {
        if (client != nullptr) {
            client->Release();
        }
        clientRecorder = nullptr;
    }

    void ConnectClient(PortNotifyCallback onData = nullptr,
                       PortNotifyCallback onException = nullptr) {
        ASSERT_EQ(CreatePortConnection("127.0.0.1", server.Port(), PORT_MODE_TCP, onData,
                                       onException, &client),
                  0);
        peer = server.Accept(2000);
        ASSERT_TRUE(peer.IsOpen());
    }

    ClientRecorder record;
    LoopbackStream server = LoopbackStream::Listening();
    LoopbackStream peer;
    PortConnection* client = nullptr;
};

TEST_F(PortTcpClientTest, ConnectFailuresReturnMinusOneLeaveOutUntouchedAndLeakNoSocket) {
    int before = test::OpenDescriptorCount();
    auto* sentinel = reinterpret_cast<PortConnection*>(0x1234);
    PortConnection* out = sentinel;
    // Text that is neither a name nor an address (rejected without a DNS query).
    EXPECT_EQ(
        CreatePortConnection("no such host", server.Port(), PORT_MODE_TCP, nullptr, nullptr, &out),
        -1);
    EXPECT_EQ(CreatePortConnection(nullptr, server.Port(), PORT_MODE_TCP, nullptr, nullptr, &out),
              -1);
    int closedPort = server.Port();
    server.Close();
    EXPECT_EQ(
        CreatePortConnection("127.0.0.1", closedPort, PORT_MODE_TCP, RecordData, nullptr, &out),
        -1);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(test::OpenDescriptorCount(), before - 1);
}

TEST_F(PortTcpClientTest, ConnectedClientKeepsHostAsPeerNameAndExchangesBytes) {
    ConnectClient();
    EXPECT_STREQ(client->GetPeerName(), "127.0.0.1");
    EXPECT_NE(client->GetSocket(), PORT_NO_SOCKET);
    EXPECT_FALSE(client->readerThread.joinable()) << "no data callback, no reader thread";

    EXPECT_EQ(client->Send("hello", 5), 5);
    EXPECT_EQ(peer.Receive(5, 2000), "hello");

    ASSERT_TRUE(peer.Send("world!"));
    char buffer[64];
    int size = sizeof buffer;
    timeval timeout{2, 0};
    EXPECT_EQ(client->Receive(buffer, &size, &timeout), 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), "world!");
}

TEST_F(PortTcpClientTest, ConnectResolvesHostNames) {
    ASSERT_EQ(
        CreatePortConnection("localhost", server.Port(), PORT_MODE_TCP, nullptr, nullptr, &client),
        0);
    EXPECT_STREQ(client->GetPeerName(), "localhost");
}

TEST_F(PortTcpClientTest, TransactSendsAndReceivesTheAnswer) {
    ConnectClient();
    std::thread answerer([&] {
        std::string request = peer.Receive(4, 2000);
        peer.Send("re:" + request);
    });
    char buffer[64];
    int size = sizeof buffer;
    timeval timeout{2, 0};
    EXPECT_EQ(client->Transact("ping", 4, buffer, &size, &timeout), 0);
    answerer.join();
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), "re:ping");
}

TEST_F(PortTcpClientTest, ReceiveAndTransactFailWithSizeZeroOnTimeOutAndOnClose) {
    ConnectClient();
    char buffer[64];
    int size = sizeof buffer;
    timeval shortWait{0, 50000};
    EXPECT_EQ(client->Receive(buffer, &size, &shortWait), -1);
    EXPECT_EQ(size, 0);

    size = sizeof buffer;
    EXPECT_EQ(client->Transact("q", 1, buffer, &size, &shortWait), -1);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(peer.Receive(1, 2000), "q");

    peer.Close();
    size = sizeof buffer;
    timeval longWait{2, 0};
    EXPECT_EQ(client->Receive(buffer, &size, &longWait), -1);
    EXPECT_EQ(size, 0);
}

TEST_F(PortTcpClientTest, SendToAVanishedPeerFailsInsteadOfRaisingSigpipe) {
    ConnectClient();
    peer.Close();
    int result = 0;
    for (int attempt = 0; attempt < 50 && result >= 0; ++attempt) {
        result = client->Send("x", 1);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(result, -1);
}

TEST_F(PortTcpClientTest, ReaderThreadKeepsOnlyTheLatestReceptionTerminated) {
    ConnectClient(RecordData, RecordException);
    ASSERT_TRUE(peer.Send("0123456789"));
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 1; }, 3s));
    ASSERT_TRUE(peer.Send("abc"));
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.receptions.size() == 2; }, 3s));

    std::lock_guard guard(record.mutex);
    EXPECT_EQ(record.receptions, (std::vector<std::string>{"0123456789", "abc"}));
    EXPECT_EQ(record.terminated, (std::vector<bool>{true, true}));
    EXPECT_EQ(record.exceptions, 0);
}

TEST_F(PortTcpClientTest, LargeBurstArrivesWholeAsSeveralReceptionsOfAtMostABuffer) {
    ConnectClient(RecordData, RecordException);
    std::string burst;
    for (int index = 0; index < 5000; ++index) {
        burst += static_cast<char>('a' + index % 26);
    }
    ASSERT_TRUE(peer.Send(burst));
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.TotalBytes() >= 5000; }, 3s));

    std::lock_guard guard(record.mutex);
    EXPECT_GE(record.receptions.size(), 2u);
    std::string joined;
    for (const std::string& reception : record.receptions) {
        EXPECT_LE(reception.size(), static_cast<std::size_t>(PORT_BUFFER_SIZE));
        joined += reception;
    }
    EXPECT_EQ(joined, burst);
}

TEST_F(PortTcpClientTest, PeerCloseCallsExceptionOnceAndEndsTheReader) {
    ConnectClient(RecordData, RecordException);
    peer.Close();
    ASSERT_TRUE(record.WaitUntil([](auto& r) { return r.exceptions == 1; }, 3s));
    for (int wait = 0; wait < 300 && client->readerRunning.load() != 0; ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(client->readerRunning.load(), 0);
    EXPECT_EQ(client->GetSocket(), PORT_NO_SOCKET);

    std::this_thread::sleep_for(50ms);
    std::lock_guard guard(record.mutex);
    EXPECT_EQ(record.exceptions, 1);
    EXPECT_TRUE(record.receptions.empty());
}

TEST_F(PortTcpClientTest, ReleaseStopsAWaitingReaderWithinOnePollTimeout) {
    ConnectClient(RecordData, RecordException);
    std::this_thread::sleep_for(20ms); // let the reader settle into its wait
    auto started = std::chrono::steady_clock::now();
    client->Release();
    client = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1600ms);
    std::lock_guard guard(record.mutex);
    EXPECT_EQ(record.exceptions, 0);
}

} // namespace
} // namespace kestrane
