#include "chat/IncomingHandler.h"

#include "chat/ChatMessage.h"
#include "chat/ChatSender.h"
#include "chat/ChatWindow.h"
#include "port/port.h"
#include "tests/support/LoopbackSocket.h"

#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {
namespace {

std::string Datagram(char type, const std::string& name, const std::string& text) {
    return std::string(1, type) + std::string(32 - name.size(), ' ') + name + text;
}

// Called on the dispatcher thread in the listener test, read on the test's.
class RecordingWindow : public ChatWindow {
public:
    void AddPeer(const std::string& name, const std::string& address) override {
        Record("add " + name + From(address));
    }
    void RemovePeer(const std::string& name) override { Record("remove " + name); }
    void ShowText(const ChatMessage& message, const std::string& address) override {
        Record(std::string("show ") + message.sender + From(address) + " " + message.GetText());
    }
    void ReportDroppedLines(std::uint64_t lines) override {
        Record("dropped " + std::to_string(lines));
    }
    std::vector<std::string> Calls() {
        std::lock_guard guard(mutex);
        return calls;
    }

private:
    static std::string From(const std::string& address) {
        return address.empty() ? "" : " from " + address;
    }
    void Record(std::string call) {
        std::lock_guard guard(mutex);
        calls.push_back(std::move(call));
    }
    std::mutex mutex;
    std::vector<std::string> calls; // guarded by mutex
};

class IncomingHandlerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CreatePortConnection("127.0.0.1", everyone.Port(), PORT_MODE_UDP, nullptr,
                                       nullptr, &connection),
                  0);
        sender = std::make_unique<ChatSender>(connection, everyone.Port(), "127.0.0.1");
        sender->PublishOwnName("PC7");
        handler = std::make_unique<IncomingHandler>(window, *sender);
    }
    void TearDown() override {
        handler.reset();
        sender.reset();
        connection->Release();
    }
    void Receive(const std::string& bytes, const std::string& address = {}) {
        handler->Handle(bytes.data(), static_cast<int>(bytes.size()), address);
    }

    test::LoopbackSocket everyone;
    PortConnection* connection = nullptr;
    std::unique_ptr<ChatSender> sender;
    RecordingWindow window;
    std::unique_ptr<IncomingHandler> handler;
};

TEST_F(IncomingHandlerTest, TextFromAnotherHostAddsItThenShowsItWithWhereItCameFrom) {
    Receive(Datagram(4, "PC2", "hello\r\n"), "10.0.0.2");
    Receive(Datagram(3, "PC3", "alt\r\n"), "10.0.0.3");
    Receive(Datagram(2, "PC4", "*** Online ***\r\n"), "10.0.0.4");
    EXPECT_EQ(window.Calls(),
              (std::vector<std::string>{"add PC2 from 10.0.0.2", "show PC2 from 10.0.0.2 hello\r\n",
                                        "add PC3 from 10.0.0.3", "show PC3 from 10.0.0.3 alt\r\n",
                                        "add PC4 from 10.0.0.4"}));
}

TEST_F(IncomingHandlerTest, OwnTextAndOwnAnswerComeBackUnseen) {
    Receive(Datagram(4, "PC7", "mine\r\n"));
    Receive(Datagram(2, "PC7", "*** Online ***\r\n"));
    EXPECT_TRUE(window.Calls().empty());
}

TEST_F(IncomingHandlerTest, HelloIsListedAndAnsweredEvenWhenItIsOurOwn) {
    Receive(Datagram(1, "PC2", "ILIVE"));
    EXPECT_EQ(everyone.ReceiveOne(2000), Datagram(2, "PC7", "*** Online ***\r\n"));
    Receive(Datagram(1, "PC7", "ILIVE"));
    EXPECT_EQ(everyone.ReceiveOne(2000), Datagram(2, "PC7", "*** Online ***\r\n"));
    EXPECT_EQ(window.Calls(), std::vector<std::string>{"add PC2"});
}

TEST_F(IncomingHandlerTest, LeavingRemovesAndOtherTypesOrEmptySendersDoNothing) {
    Receive(Datagram(7, "PC2", "***Leaveing channel"));
    Receive(Datagram(5, "PC3", "x"));
    Receive(Datagram(2, "", "*** Online ***\r\n"));
    Receive(Datagram(7, "", "***Leaveing channel"));
    handler->Handle(nullptr, 0);
    EXPECT_EQ(window.Calls(), std::vector<std::string>{"remove PC2"});
}

TEST_F(IncomingHandlerTest, TextWithAnEmptySenderIsShownButNotListed) {
    Receive(Datagram(4, "", "anonymous\r\n"));
    EXPECT_EQ(window.Calls(), std::vector<std::string>{"show  anonymous\r\n"});
}

TEST_F(IncomingHandlerTest, LinesBeyondTheBudgetAreDroppedWithTheirSendersAndReportedLater) {
    LineBudget::Clock::time_point now{};
    handler = std::make_unique<IncomingHandler>(
        window, *sender,
        LineBudget({.linesPerSecond = 1, .lineBurst = 1, .bytesPerSecond = 1e6, .byteBurst = 1e6},
                   [&now] { return now; }));
    Receive(Datagram(4, "PC2", "kept\r\n"));
    Receive(Datagram(4, "PC3", "dropped\r\n"));
    Receive(Datagram(3, "PC4", "dropped\r\n"));
    Receive(Datagram(4, "PC7", "own lines cost nothing\r\n"));
    Receive(Datagram(1, "PC5", "ILIVE")); // hellos go on while lines are dropped
    EXPECT_EQ(everyone.ReceiveOne(2000), Datagram(2, "PC7", "*** Online ***\r\n"));
    now += std::chrono::seconds(1);
    Receive(Datagram(4, "PC2", "next\r\n"));
    Receive(Datagram(4, "PC2", "dropped\r\n"));
    EXPECT_EQ(window.Calls(),
              (std::vector<std::string>{"add PC2", "show PC2 kept\r\n", "add PC5", "dropped 2",
                                        "add PC2", "show PC2 next\r\n"}));
}

TEST_F(IncomingHandlerTest, ListenerCallbackReachesTheHandlerAndAlwaysGoesOn) {
    SetIncomingHandler(handler.get());
    PortStartup();
    PortListener* listener = nullptr;
    int port = test::FreeUdpPort();
    ASSERT_EQ(CreatePortListener(LISTEN_UDP, port, OnDatagram, nullptr, nullptr, &listener), 0);
    test::LoopbackSocket peer;
    peer.SendTo(port, Datagram(2, "PC9", "*** Online ***\r\n"));
    for (int wait = 0; wait < 200 && window.Calls().empty(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    listener->Release();
    SetIncomingHandler(nullptr);
    // The listener names each reception's sender by its address.
    EXPECT_EQ(window.Calls(), std::vector<std::string>{"add PC9 from 127.0.0.1"});
    EXPECT_EQ(PortStopCounter.load(), 0);
}

} // namespace
} // namespace kestrane
