#include "chat/ChatSender.h"

#include "platform/MessageBox.h"
#include "port/port.h"
#include "tests/support/LoopbackSocket.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {
namespace {

std::string Field(const std::string& name) {
    return std::string(32 - name.size(), ' ') + name;
}

// Two loopback receivers stand in for "the broadcast address" and one named
// host, so nothing here broadcasts. Both listen on one port number: the
// broadcast stand-in on 127.0.0.1, the host on 127.0.0.2.
class ChatSenderTest : public testing::Test {
protected:
    void SetUp() override {
        previousHook = SetMessageBoxHook(
            [this](const std::string& text, const std::string&) { boxes.push_back(text); });
        ASSERT_EQ(CreatePortConnection("127.0.0.1", everyone.Port(), PORT_MODE_UDP, nullptr,
                                       nullptr, &connection),
                  0);
        sender = std::make_unique<ChatSender>(connection, everyone.Port(), "127.0.0.1");
        sender->PublishOwnName("PC7");
    }
    void TearDown() override {
        sender.reset();
        connection->Release();
        SetMessageBoxHook(previousHook);
    }

    test::LoopbackSocket everyone;
    PortConnection* connection = nullptr;
    std::unique_ptr<ChatSender> sender;
    std::vector<std::string> boxes;
    MessageBoxHook previousHook;
};

TEST_F(ChatSenderTest, EveryBroadcastDatagramGoesOutByteForByte) {
    EXPECT_EQ(sender->SendHello(), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000), "\x01" + Field("PC7") + "ILIVE");
    EXPECT_EQ(sender->AnswerHello(), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000), "\x02" + Field("PC7") + "*** Online ***\r\n");
    EXPECT_EQ(sender->BroadcastText("hi\r\n"), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000), "\x04" + Field("PC7") + "hi\r\n");
    EXPECT_EQ(sender->SendLeaving(), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000), "\x07" + Field("PC7") + "***Leaveing channel");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ChatSenderTest, OnlineAnswerAfterALineToOneHostStillGoesToEveryone) {
    EXPECT_EQ(sender->SendText("127.0.0.2", "to one\r\n"), SendResult::Sent);
    EXPECT_EQ(sender->AnswerHello(), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000), "\x02" + Field("PC7") + "*** Online ***\r\n");
}

TEST_F(ChatSenderTest, LongestLineFitsAndOneMoreIsRefusedUnsent) {
    std::string longest(static_cast<std::size_t>(sender->LongestText()), 'x');
    EXPECT_EQ(sender->BroadcastText(longest), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000).size(), 4096u);
    EXPECT_EQ(sender->BroadcastText(longest + "y"), SendResult::TooLong);
    EXPECT_EQ(everyone.ReceiveOne(100), "");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ChatSenderTest, NamesAreNeverLookedUpAndAFailedSendShowsTheBox) {
    // A name could wait on a dead resolver under the send lock: it is refused.
    EXPECT_EQ(sender->SendText("PC2", "x\r\n"), SendResult::Unreachable);
    EXPECT_EQ(sender->SendReply("", "x\r\n"), SendResult::Unreachable);
    EXPECT_TRUE(boxes.empty());
    // The broadcast address without permission to broadcast: the kernel refuses.
    EXPECT_EQ(sender->SendText("255.255.255.255", "x\r\n"), SendResult::Failed);
    EXPECT_EQ(boxes, std::vector<std::string>{"IPORT Error."});
}

TEST_F(ChatSenderTest, NothingGoesOutBeforeTheOwnNameIsKnown) {
    ChatSender nameless(connection, everyone.Port(), "127.0.0.1");
    EXPECT_EQ(nameless.SendHello(), SendResult::NoName);
    EXPECT_EQ(nameless.AnswerHello(), SendResult::NoName);
    EXPECT_EQ(nameless.SendLeaving(), SendResult::NoName);
    EXPECT_EQ(sender->BroadcastText("marker\r\n"), SendResult::Sent);
    EXPECT_EQ(everyone.ReceiveOne(2000), "\x04" + Field("PC7") + "marker\r\n");
}

TEST_F(ChatSenderTest, OwnNameIsPublishedOnce) {
    sender->PublishOwnName("OTHER");
    EXPECT_EQ(sender->OwnName(), "PC7");
}

TEST(ChatSenderWithoutNetwork, SendsNothingWithoutAConnection) {
    ChatSender sender(nullptr);
    EXPECT_EQ(sender.OwnName(), "");
    EXPECT_EQ(sender.BroadcastText("x\r\n"), SendResult::NoConnection);
}

TEST_F(ChatSenderTest, ConcurrentAnswersNeverReachTheHostALineWasMeantFor) {
    test::LoopbackSocket host; // a named host on its own port
    ChatSender toHost(connection, host.Port(), "127.0.0.1");
    toHost.PublishOwnName("PC7");
    constexpr int lines = 200;
    std::thread dispatcher([&] {
        for (int index = 0; index < lines; ++index) {
            toHost.AnswerHello();
        }
    });
    int sent = 0;
    for (int index = 0; index < lines; ++index) {
        sent += toHost.SendText("127.0.0.2", "line\r\n") == SendResult::Sent ? 1 : 0;
    }
    dispatcher.join();
    EXPECT_EQ(sent, lines);
    int received = 0;
    for (std::string datagram = host.ReceiveOne(500); !datagram.empty();
         datagram = host.ReceiveOne(100)) {
        ++received;
    }
    // host listens on 127.0.0.1 only: lines aimed at 127.0.0.2 never reach it,
    // and every answer must.
    EXPECT_EQ(received, lines);
    EXPECT_TRUE(boxes.empty());
}

} // namespace
} // namespace kestrane
