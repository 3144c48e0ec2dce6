#include "chat/ChatMessage.h"
#include "chat/ChatSender.h"
#include "chat/ChatWindow.h"
#include "chat/EchoFilter.h"
#include "chat/IncomingHandler.h"
#include "chat/OwnName.h"
#include "chat/PeerName.h"
#include "port/PortConnection.h"
#include "port/PortLibrary.h"
#include "tests/support/Lan.h"

#include <functional>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

TEST(ChatTest, NamesAreFormedMatchedAndOrderedForTheRoster) {
    const std::pair<std::string, std::string> ownNames[] = {
        {"h\xe9te-7." + std::string(25, 'a'), "H\xe9TE-7." + std::string(25, 'A')},
        {"h\xe9te-7." + std::string(26, 'a'), "H\xe9TE-7"},
        {std::string(33, 'b'), std::string(32, 'B')}};
    for (const auto& [canonical, expected] : ownNames) {
        EXPECT_EQ(OwnNameFromCanonical(canonical), expected) << canonical;
    }
    // Two names, whether they are one host, whether the first sorts before the second.
    const std::tuple<std::string, std::string, bool, bool> peers[] = {
        {"PC1", "pc1", true, false},   {"PC1", "PC10", false, true},
        {"PC10", "PC1", false, false}, {"<< Broadcast >>", "1PC", false, true},
        {"9PC", "APC", false, true},   {"alpha", "BETA", false, true}};
    for (const auto& [first, second, same, less] : peers) {
        EXPECT_EQ(IsSamePeerName(first, second), same) << first << " / " << second;
        EXPECT_EQ(PeerNameLess(first, second), less) << first << " / " << second;
    }
}

struct RecordingWindow : ChatWindow {
    void AddPeer(const std::string& name, const std::string& at) override {
        log += "+" + name + "@" + at + " ";
    }
    void RemovePeer(const std::string& name) override { log += "-" + name; }
    void ShowText(const ChatMessage& line, const std::string& at) override {
        log += std::string(line.sender) + "@" + at + ": " + line.GetText();
    }
    void LinesDropped() override { log += "! "; }
    void ShowFileNotice(const ChatMessage& notice, const std::string& at) override {
        log += "files@" + at + ": " + notice.GetText();
    }
    void ShowDeliveryNotice(const ChatMessage& notice, const std::string& at) override {
        log += "delivery@" + at + ": " + notice.GetText() + " ";
    }
    void HelloHeard(const std::string&, const std::string&) override { log += "hello "; }
    std::string log;
};

// The sender's "broadcasts" reach `everyone` on 127.0.0.1; a host listens on 127.0.0.3.
struct ChatTrafficTest : testing::Test {
    ChatTrafficTest() { sender.PublishOwnName("PC7"); }
    ~ChatTrafficTest() override { ReleasePortConnection(connection); }

    UdpPeer everyone;
    UdpPeer host{"127.0.0.3", everyone.Port()};
    PortConnection* connection = [this] {
        PortConnection* made = nullptr;
        CreatePortConnection("127.0.0.1", everyone.Port(), PORT_MODE_UDP, nullptr, nullptr, &made);
        return made;
    }();
    ChatSender sender{connection, everyone.Port(), "127.0.0.1"};
    std::string longest = std::string(CHAT_MAX_DATAGRAM - CHAT_TEXT_OFFSET, 'x');
};

TEST_F(ChatTrafficTest, EachDatagramIsReadAndActedOnWithinTheLineBudget) {
    LineBudget::Clock::time_point now{};
    // 1 line a second, 8 at once: the eight lines below pass, then none until a second has
    // passed; hellos from one address: 2 answered at once, whatever the overall budget.
    RecordingWindow window;
    IncomingHandler handler(window, sender, LineBudget({1, 8, 1e6, 1e6}, [&] { return now; }),
                            HelloAnswerBudget({1, 2, 1e6, 1e6, 9}, [&] { return now; }));
    const std::string online = Datagram(2, "PC7", "*** Online ***\r\n");
    const std::string pc2 = "+PC2@10.0.0.2 PC2@10.0.0.2: ";
    const std::string n32(32, 'N');
    // Datagram, milliseconds passed before it, what the window is told, what everyone gets.
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {Datagram(1, "PC2", "ILIVE"), 0, "+PC2@10.0.0.2 hello ", online},
        {Datagram(1, "PC7", "ILIVE"), 0, "", online},
        {Datagram(1, "PC3", "ILIVE"), 0, "+PC3@10.0.0.2 hello ", ""},
        {Datagram(2, "PC2", "x"), 0, "+PC2@10.0.0.2 ", ""},
        {Datagram(7, "PC2", "x"), 0, "-PC2", ""},
        {Datagram(5, "PC2", "x"), 0, "", ""},
        {Datagram(4, "PC7", "x"), 0, "", ""},
        {Datagram(4, "PC2", "hi"), 0, pc2 + "hi", ""},
        {Datagram(3, "PC2", "hi"), 0, pc2 + "hi", ""},
        {Datagram(4, "", "hi"), 0, "@10.0.0.2: hi", ""},
        {Datagram(4, "PC2", longest), 0, pc2 + longest, ""},
        {"\x04" + n32 + "67hi", 0, "+" + n32 + "@10.0.0.2 " + n32 + "@10.0.0.2: 67hi", ""},
        {"\x04" + std::string(29, ' ') + std::string("P\0007hi\0x", 7), 0,
         "+P@10.0.0.2 P@10.0.0.2: hi", ""},
        {Datagram(4, "PC7", "").substr(0, 32), 0, "+PC@10.0.0.2 PC@10.0.0.2: ", ""},
        {"\x04", 0, "@10.0.0.2: ", ""},
        {Datagram(4, "PC2", "hi"), 0, "! ", ""},
        {Datagram(4, "PC2", "hi"), 0, "", ""},
        {Datagram(4, "PC2", "hi"), 1000, pc2 + "hi", ""},
        {Datagram(8, "PC2", "FILES/1"), 2000, "files@10.0.0.2: FILES/1", ""},
        {Datagram(8, "PC7", "FILES/1"), 0, "", ""},
        {Datagram(9, "PC2", "DELIVERY/1 PRESENT"), 0, "delivery@10.0.0.2: DELIVERY/1 PRESENT ", ""},
        {Datagram(9, "PC7", "DELIVERY/1 PRESENT"), 0, "", ""}};
    for (const auto& [datagram, waited, calls, answer] : cases) {
        SCOPED_TRACE(datagram.substr(0, 40));
        window.log.clear();
        now += std::chrono::milliseconds(waited);
        // Exactly the datagram's bytes on the heap: a read past them is caught.
        const std::vector<char> bytes(datagram.begin(), datagram.end());
        handler.Handle(bytes.data(), static_cast<int>(bytes.size()), "10.0.0.2");
        EXPECT_EQ(window.log, calls);
        EXPECT_EQ(Received(everyone, "127.0.0.1"), answer);
    }
    EXPECT_EQ(handler.TakeDroppedLines(), 2u); // the window takes the count once
    EXPECT_EQ(handler.TakeDroppedLines(), 0u);
}

TEST(ChatTest, HelloAnswersAreLimitedPerAddressAndInAllInABoundedTable) {
    HelloAnswerBudget::Clock::time_point now{};
    // From one address 1 a second, 2 at once; in all 2 a second, 3 at once; 2 addresses.
    HelloAnswerBudget answers({1, 2, 2, 3, 2}, [&] { return now; });
    // Address, milliseconds passed before its hello, answered. A new address puts out the one
    // heard from least lately, and adds nothing to the overall budget.
    const std::tuple<const char*, int, bool> hellos[] = {
        {"A", 0, true},   {"A", 0, true},   {"A", 0, false}, {"A", 500, false}, {"A", 500, true},
        {"B", 0, true},   {"A", 0, false},  {"C", 0, true},  {"B", 0, false},   {"D", 0, false},
        {"B", 500, true}, {"A", 500, true}, {"A", 0, false}};
    for (const auto& [address, waited, answered] : hellos) {
        now += std::chrono::milliseconds(waited);
        EXPECT_EQ(answers.Admit(address), answered) << address << " after " << waited << " ms";
        EXPECT_LE(answers.Sources(), 2u);
    }
}

TEST_F(ChatTrafficTest, EachSendIsComposedAndAimedOrRefused) {
    using enum SendResult;
    const std::string line = Datagram(4, "PC7", "x");
    // The send, its result, what everyone and the host get. The kernel refuses the last.
    const std::tuple<std::function<SendResult()>, SendResult, std::string, std::string> cases[] = {
        {[&] { return sender.SendReply("127.0.0.3", "x"); }, Sent, "", line},
        {[&] { return sender.BroadcastText("x"); }, Sent, line, ""},
        {[&] { return sender.BroadcastText(longest); }, Sent, Datagram(4, "PC7", longest), ""},
        {[&] { return sender.BroadcastText(longest + "x"); }, TooLong, "", ""},
        {[&] { return sender.SendReply("PC2", "x"); }, Unreachable, "", ""},
        {[&] { return sender.SendFileNotice("127.0.0.3", "n"); }, Sent, "",
         Datagram(8, "PC7", "n")},
        {[&] { return sender.SendFileNotice("PC2", "n"); }, Unreachable, "", ""},
        {[&] { return ChatSender(connection, 0, nullptr).SendLeaving(); }, NoName, "", ""},
        {[&] { return sender.SendReply("127.255.255.255", "x"); }, Failed, "", ""}};
    for (const auto& [send, result, toEveryone, toHost] : cases) {
        SCOPED_TRACE(toEveryone + toHost);
        EXPECT_EQ(send(), result);
        EXPECT_EQ(Received(everyone, "127.0.0.1"), toEveryone);
        EXPECT_EQ(Received(host, "127.0.0.3"), toHost);
    }
    // Sends to port 0 fail before the address counts, so the real broadcast is safe to aim at.
    ChatSender broadcaster(connection, 0, nullptr);
    broadcaster.PublishOwnName("PC7");
    broadcaster.SendReply("127.0.0.3", "x");
    broadcaster.BroadcastText("x");
    EXPECT_EQ(connection->destination.sin_addr.s_addr, INADDR_BROADCAST);
}

TEST(ChatTest, ADatagramHeardOverTwoNetworksCountsOnceAndARepeatFromOneHostTwice) {
    using std::chrono::milliseconds;
    EchoFilter copies;
    const auto start = std::chrono::steady_clock::now();
    // Bytes, from where, when (ms), whether it is dropped as another network's copy.
    const std::tuple<std::string, std::string, int, bool> receptions[] = {
        {"line", "10.77.0.3", 0, false},   {"line", "10.88.0.3", 5, true},
        {"line", "10.77.0.3", 10, false},  {"lime", "10.88.0.3", 15, false},
        {"line", "", 20, false},           {"line", "10.88.0.3", 1100, false},
        {"line", "10.77.0.3", 1200, true}, {"line", "10.99.0.3", 2300, false}};
    for (const auto& [bytes, address, at, copy] : receptions) {
        SCOPED_TRACE(bytes + " from " + address + " at " + std::to_string(at));
        EXPECT_EQ(copies.IsCopy(bytes, address, start + milliseconds(at)), copy);
    }
}

} // namespace
} // namespace kestrane::test
