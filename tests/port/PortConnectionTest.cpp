#include "platform/MessageBox.h"
#include "port/port.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/ProcessCounts.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace kestrane {
namespace {

int BroadcastOption(PortSocket socket) {
    int value = -1;
    socklen_t size = sizeof value;
    getsockopt(socket, SOL_SOCKET, SO_BROADCAST, &value, &size);
    return value;
}

class PortConnectionTest : public testing::Test {
protected:
    void SetUp() override {
        previousHook =
            SetMessageBoxHook([this](const std::string& text, const std::string& caption) {
                boxes.push_back(caption + "|" + text);
            });
    }
    void TearDown() override { SetMessageBoxHook(previousHook); }

    PortConnection* MakeSender(const char* host, int port) {
        PortConnection* connection = nullptr;
        EXPECT_EQ(CreatePortConnection(host, port, PORT_MODE_UDP, nullptr, nullptr, &connection),
                  0);
        return connection;
    }

    std::vector<std::string> boxes;
    MessageBoxHook previousHook;
};

TEST_F(PortConnectionTest, NamelessOpenAimsAtBroadcastWithPermission) {
    PortConnection* sender = MakeSender(nullptr, 9000);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->destination.sin_family, AF_INET);
    EXPECT_EQ(sender->destination.sin_addr.s_addr, htonl(INADDR_BROADCAST));
    EXPECT_EQ(ntohs(sender->destination.sin_port), 9000);
    EXPECT_NE(BroadcastOption(sender->GetSocket()), 0);
    EXPECT_EQ(sender->GetId(), 0u);
    EXPECT_EQ(sender->GetData(), nullptr);
    EXPECT_STREQ(sender->GetPeerName(), "");
    sender->Release();
}

TEST_F(PortConnectionTest, NamedOpenSendsWholeDatagramWithoutBroadcastPermission) {
    test::LoopbackSocket receiver;
    PortConnection* sender = MakeSender("127.0.0.1", receiver.Port());
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->destination.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(BroadcastOption(sender->GetSocket()), 0);

    std::string bytes("\x04hello\0world", 12);
    EXPECT_EQ(sender->SendDatagram(bytes.data(), static_cast<int>(bytes.size())), 12);
    EXPECT_EQ(receiver.ReceiveOne(2000), bytes);
    EXPECT_TRUE(boxes.empty());
    sender->Release();
}

TEST_F(PortConnectionTest, ReopeningReplacesTheSocketAndBroadcastPermissionDoesNotCarryOver) {
    int before = test::OpenDescriptorCount();
    PortConnection* sender = MakeSender(nullptr, 9000);
    ASSERT_NE(sender, nullptr);
    ASSERT_EQ(sender->OpenDatagram("127.0.0.1", 9000), 0);
    EXPECT_EQ(test::OpenDescriptorCount(), before + 1);
    EXPECT_EQ(BroadcastOption(sender->GetSocket()), 0);
    sender->Close();
    EXPECT_EQ(sender->GetSocket(), PORT_NO_SOCKET);
    EXPECT_EQ(test::OpenDescriptorCount(), before);
    sender->Release();
}

TEST_F(PortConnectionTest, UnresolvableHostGivesBroadcastAddressThatFailsToSendWithBox) {
    // Text that is neither a name nor an address; the resolver rejects it
    // without sending a query off the machine.
    PortConnection* sender = MakeSender("no such host", 9000);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->destination.sin_addr.s_addr, htonl(INADDR_BROADCAST));
    // Without the broadcast option the kernel refuses the send locally.
    EXPECT_EQ(sender->SendDatagram("x", 1), -1);
    EXPECT_EQ(boxes, std::vector<std::string>{"sendto|IPORT Error."});
    sender->Release();
}

TEST_F(PortConnectionTest, FactoryRefusesUnknownModeAndLeavesOutUntouched) {
    auto* sentinel = reinterpret_cast<PortConnection*>(0x1234);
    PortConnection* out = sentinel;
    EXPECT_EQ(CreatePortConnection(nullptr, 9000, 2, nullptr, nullptr, &out), -1);
    EXPECT_EQ(out, sentinel);
}

TEST(PortLibrary, StartupAndCleanupArePaired) {
    int before = PortStartupCount();
    EXPECT_EQ(PortStartup(), 0);
    EXPECT_EQ(PortStartupCount(), before + 1);
    PortCleanup();
    EXPECT_EQ(PortStartupCount(), before);
}

} // namespace
} // namespace kestrane
