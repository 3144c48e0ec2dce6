#include "port/PortOwner.h"
#include "port/port.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackAddress.h"

#include <QTest>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kestrane::test {
namespace {

struct Reception {
    std::string bytes; // with the terminator that follows them; empty without data
    std::string peerName;
};

/// A listener, its TCP clients, and what its callbacks (plain functions) saw.
class PortLibrary : public testing::Test {
protected:
    void TearDown() override {
        alarm(0);
        gate = true;
        gate.notify_all();
        for (PortConnection* client : clients) {
            client->Release();
        }
        if (listener != nullptr) {
            listener->Release();
        }
        PortStopCounter = 0;
        receptions.clear();
        react = nullptr;
        gate = false;
    }

    void Listen(int mode) {
        alarm(60); // a watchdog: a thread that never ends would hang the test
        PortStartup();
        ASSERT_EQ(CreatePortListener(mode, 0, Record, nullptr, nullptr, &listener), 0);
        sockaddr_in address{};
        socklen_t size = sizeof address;
        getsockname(listener->socket, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    PortConnection* Connect(PortNotifyCallback onData = nullptr, int mode = PORT_MODE_TCP) {
        PortConnection* client = nullptr;
        CreatePortConnection("127.0.0.1", port, mode, onData, nullptr, &client);
        return clients.emplace_back(client);
    }
    std::vector<std::uint32_t> ConnectionIds() {
        std::lock_guard guard(listener->lock);
        std::vector<std::uint32_t> ids;
        for (PortConnection* at = listener->GetConnections(); at != nullptr; at = at->next) {
            ids.push_back(at->GetId());
        }
        return ids;
    }
    static std::vector<Reception> Received() {
        std::lock_guard guard(mutex);
        return receptions;
    }
    /// True when the listener's end of `client` closes within 3 s.
    static bool ClosedByPeer(PortConnection* client) {
        pollfd watched{client->GetSocket(), POLLIN, 0};
        char byte;
        return poll(&watched, 1, 3000) == 1 && recv(watched.fd, &byte, 1, MSG_DONTWAIT) <= 0;
    }

    static std::int32_t Record(PortConnection* node) {
        const char* data = node->GetData();
        std::unique_lock guard(mutex);
        receptions.push_back({data != nullptr ? std::string(data, node->GetDataLength() + 1u) : "",
                              node->GetPeerName()});
        guard.unlock();
        return react != nullptr ? react(node) : 0;
    }

    static inline std::mutex mutex;
    static inline std::vector<Reception> receptions;   // guarded by mutex
    static inline PortReceiveCallback react = nullptr; // set before Listen
    static inline std::atomic<bool> gate{false};       // opened by the test, or by its end

    PortListener* listener = nullptr;
    std::vector<PortConnection*> clients;
    int port = 0;
};

TEST_F(PortLibrary, DatagramsArriveInOrderTerminatedWithTheirSenderAndAtMost4096Bytes) {
    Listen(LISTEN_UDP);
    PortConnection* peer = Connect(nullptr, PORT_MODE_UDP);
    const std::vector<std::string> sent{"first", std::string("nul\0inside", 10),
                                        std::string(PORT_BUFFER_SIZE, 'y'),
                                        std::string(PORT_BUFFER_SIZE + 1, 'z'), "last"};
    for (const std::string& bytes : sent) {
        ASSERT_TRUE(peer->TrySendDatagram(bytes.data(), static_cast<int>(bytes.size())));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return Received().size() == sent.size(); }));
    for (std::size_t index = 0; index < sent.size(); ++index) {
        const bool whole = sent[index].size() <= PORT_BUFFER_SIZE; // else failed: no data
        EXPECT_EQ(Received()[index].bytes, whole ? sent[index] + '\0' : "") << index;
    }
    EXPECT_EQ(Received()[0].peerName, "127.0.0.1");
}

// The callback holds the first reception while the list fills, then stops the dispatcher.
TEST_F(PortLibrary, PendingListHoldsExactlyItsCeilingAndANonZeroResultStopsTheDispatcher) {
    react = [](PortConnection*) {
        gate.wait(false);
        return 1;
    };
    Listen(LISTEN_UDP);
    PortConnection* peer = Connect(nullptr, PORT_MODE_UDP);
    ASSERT_TRUE(peer->TrySendDatagram("held", 4));
    ASSERT_TRUE(QTest::qWaitFor([] { return Received().size() == 1; }));
    ASSERT_TRUE(QTest::qWaitFor([&] { // in bursts: the socket's buffer is smaller than the list
        for (int burst = 0; burst < 64; ++burst) {
            peer->TrySendDatagram("x", 1);
        }
        return listener->droppedReceptions > 0;
    }));
    // Read without the lock: having dropped, the poll thread no longer changes it.
    EXPECT_EQ(listener->pendingCount, PORT_PENDING_LIMIT);
    gate = true;
    gate.notify_all();
    ASSERT_TRUE(QTest::qWaitFor([] { return PortStopCounter.load() == 1; }));
    std::exchange(listener, nullptr)->Release();
    EXPECT_EQ(Received().size(), 1u);
}

// A lost wake-up would wait out a poll: 1 s for TCP keep and a client's reader,
// 3 s for TCP once; UDP waits without limit, until the watchdog.
TEST_F(PortLibrary, ReleaseEndsTheThreadsWellWithinAPoll) {
    for (int mode : {LISTEN_UDP, LISTEN_TCP_KEEP, LISTEN_TCP_ONCE}) {
        Listen(mode);
        PortConnection* reader = mode == LISTEN_UDP ? nullptr : Connect([](PortConnection*) {});
        clients.clear();
        // The threads settle into their waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto started = std::chrono::steady_clock::now();
        if (reader != nullptr) {
            reader->Release();
        }
        std::exchange(listener, nullptr)->Release();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300))
            << "mode " << mode;
    }
}

// The answer goes out on a reception's copy, whose socket stays open while the
// copy is in the callback even though its connection closes meanwhile.
TEST_F(PortLibrary, KeptConnectionFromAnswerToClose) {
    static std::atomic<bool> lentSocketOpen;
    lentSocketOpen = false;
    react = [](PortConnection* node) {
        if (std::string(node->GetData()) == "lent") {
            gate.wait(false);
            lentSocketOpen = fcntl(node->GetSocket(), F_GETFD) != -1;
        }
        node->Send("answer", 6); // fails, without a signal, once the connection has closed
        return 0;
    };
    Listen(LISTEN_TCP_KEEP);
    PortConnection* client = Connect();
    char answer[16];
    int size = sizeof answer;
    timeval wait{3, 0};
    ASSERT_EQ(client->Transact("abc", 3, answer, &size, &wait), 0);
    EXPECT_EQ(std::string(answer, static_cast<std::size_t>(size)), "answer");
    wait = {0, 50'000}; // nothing more comes
    EXPECT_EQ(client->Receive(answer, &size, &wait), -1);
    EXPECT_EQ(size, 0);

    ASSERT_EQ(client->Send("lent", 4), 4);
    ASSERT_TRUE(QTest::qWaitFor([] { return Received().size() == 2; }));
    ASSERT_EQ(listener->CloseConnection(ConnectionIds().at(0)), 0);
    gate = true;
    gate.notify_all();
    EXPECT_TRUE(QTest::qWaitFor([] { return lentSocketOpen.load(); }));
    // The peer resets the connection at the first send; the next would raise SIGPIPE.
    EXPECT_TRUE(QTest::qWaitFor([&] { return client->Send("x", 1) == -1; }));
}

TEST_F(PortLibrary, OnceModeClosesAfterOneReception) {
    Listen(LISTEN_TCP_ONCE);
    PortConnection* client = Connect();
    ASSERT_EQ(client->Send("abc", 3), 3);
    EXPECT_TRUE(ClosedByPeer(client));
    EXPECT_EQ(Received().size(), 1u);
    // A peer that no resolver names is named by its address all the same.
    const int raw = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{AF_INET, 0, {inet_addr("127.0.0.9")}, {}};
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {inet_addr("127.0.0.1")}, {}};
    ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(send(raw, "d", 1, 0), 1);
    ASSERT_TRUE(QTest::qWaitFor([] { return Received().size() == 2; }));
    EXPECT_EQ(Received()[1].peerName, "127.0.0.9");
    close(raw);
}

// CloseConnection runs while the poll thread serves what the clients just sent.
TEST_F(PortLibrary, ServesUpToTheConnectionLimitAndCloseConnectionEndsEachOnce) {
    Listen(LISTEN_TCP_KEEP);
    for (std::size_t count = 1; count <= PORT_MAX_CONNECTIONS; ++count) {
        Connect();
        ASSERT_TRUE(QTest::qWaitFor([&] { return ConnectionIds().size() == count; }));
    }
    EXPECT_TRUE(ClosedByPeer(Connect()));
    EXPECT_EQ(ConnectionIds().size(), PORT_MAX_CONNECTIONS);

    for (PortConnection* client : clients) {
        client->Send("tick", 4);
    }
    for (std::uint32_t id : ConnectionIds()) {
        EXPECT_EQ(listener->CloseConnection(id), 0);
        EXPECT_EQ(listener->CloseConnection(id), -1);
    }
    EXPECT_TRUE(ClosedByPeer(clients.front()));
}

// Out of descriptors, a connection that cannot be accepted keeps the listening
// socket readable: the poll thread must pause, not spin, and take it later.
TEST_F(PortLibrary, OutOfDescriptorsTheListenerPausesThenAccepts) {
    Listen(LISTEN_TCP_KEEP);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int lowestFree = dup(client);
    close(lowestFree);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t usual = std::exchange(limit.rlim_cur, static_cast<rlim_t>(lowestFree));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {inet_addr("127.0.0.1")}, {}};
    connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    limit.rlim_cur = usual;
    setrlimit(RLIMIT_NOFILE, &limit);
    const long starved = listener->starvedAccepts;
    EXPECT_TRUE(QTest::qWaitFor([&] { return ConnectionIds().size() == 1; }));
    EXPECT_GE(starved, 1);
    EXPECT_LE(starved, 20) << "at most one try a tenth of a second";
    close(client);
}

TEST(PortConnectionIds, RunUpToTheLargestThenStartAgainAtOne) {
    PortIdCounter = PORT_MAX_CONNECTION_ID - 1;
    EXPECT_EQ(TakePortConnectionId(), PORT_MAX_CONNECTION_ID);
    EXPECT_EQ(TakePortConnectionId(), 1u);
}

TEST_F(PortLibrary, OnlyASenderAimedAtTheBroadcastAddressMayBroadcast) {
    PortConnection* sender = Connect(nullptr, PORT_MODE_UDP);
    for (const char* host : {static_cast<const char*>(nullptr), "127.0.0.1"}) {
        ASSERT_EQ(sender->OpenDatagram(host, 9000), 0);
        int enabled = -1;
        socklen_t size = sizeof enabled;
        getsockopt(sender->GetSocket(), SOL_SOCKET, SO_BROADCAST, &enabled, &size);
        EXPECT_EQ(enabled != 0, host == nullptr) << (host != nullptr ? host : "broadcast");
    }
}

// Whether a datagram socket with every sharing option can take `port` on 127.0.0.1.
bool TakesLoopbackPort(int port) {
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int enable = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
    setsockopt(socket, SOL_SOCKET, SO_REUSEPORT, &enable, sizeof enable);
    const sockaddr_in address = LoopbackAddress("127.0.0.1", port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

TEST_F(PortLibrary, AnotherUserCannotShareTheDatagramPortBeforeOrAfterUs) {
    if (getuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    Listen(LISTEN_UDP);
    const ChildProcess after([this] { return !TakesLoopbackPort(port); }, kOtherUser);
    EXPECT_EQ(after.acted, 'y') << "another user took unicast datagrams meant for the listener";
    listener->Release();
    listener = nullptr;
    // Held first by another user, the port is refused, and the kernel names who holds it.
    const ChildProcess before([this] { return TakesLoopbackPort(port); }, kOtherUser);
    ASSERT_EQ(before.acted, 'y');
    PortListener* refused = nullptr;
    EXPECT_NE(CreatePortListener(LISTEN_UDP, port, Record, nullptr, nullptr, &refused), 0);
    EXPECT_EQ(UdpPortOwner(port), std::optional<uid_t>(kOtherUser));
    EXPECT_EQ(UserName(kOtherUser), "nobody");
}

} // namespace
} // namespace kestrane::test
