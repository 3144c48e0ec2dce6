#include "chat/DeliveryNotice.h"
#include "chat/LineReceipts.h"
#include "chat/SecureDatagram.h"
#include "chat/ShownLines.h"

#include <gtest/gtest.h>
#include <set>

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;
using Verdict = ShownLines::Verdict;
using State = LineReceipts::State;

TEST(DeliveryTest, NoticesRoundTripAndMalformedOnesAreRefused) {
    const DeliveryNotice notices[] = {DeliveryNotice::Present(),
                                      DeliveryNotice::Probe(),
                                      DeliveryNotice::Line("a.1", false, "hi  there\r\n"),
                                      DeliveryNotice::Line("Z_-.9", true, ""),
                                      DeliveryNotice::All("a.2", "hi\r\n"),
                                      DeliveryNotice::Ack(std::string(40, 'x'))};
    for (const DeliveryNotice& notice : notices) {
        SCOPED_TRACE(notice.Compose());
        const auto parsed = DeliveryNotice::Parse(notice.Compose());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->Compose(), notice.Compose());
        EXPECT_EQ(parsed->line, notice.line);
        EXPECT_EQ(parsed->verb, notice.verb);
    }
    EXPECT_EQ(DeliveryNotice::Parse("DELIVERY/1 ACK b.7 later").value().id, "b.7");
    EXPECT_EQ(DeliveryNotice::Parse("DELIVERY/1 LINE b.7 ALL  x y").value().line, " x y");
    EXPECT_EQ(LineDigest(""), "cbf29ce484222325");
    EXPECT_EQ(LineDigest("baa"), "0039231913392937");
    const std::string refused[] = {"",
                                   "DELIVERY/2 PRESENT",
                                   "delivery/1 PRESENT",
                                   "DELIVERY/1",
                                   "DELIVERY/1  PRESENT",
                                   "DELIVERY/1 PRESENTS",
                                   "DELIVERY/1 ACK",
                                   "DELIVERY/1 ACK a/1",
                                   "DELIVERY/1 ACK " + std::string(41, 'x'),
                                   "DELIVERY/1 ALL a.1",
                                   "DELIVERY/1 ALL a.1 0123456789ABCDEF",
                                   "DELIVERY/1 ALL a.1 0123456789abcde",
                                   "DELIVERY/1 ALL a.1 0123456789abcdef0",
                                   "DELIVERY/1 LINE a.1",
                                   "DELIVERY/1 LINE a.1 ONE",
                                   "DELIVERY/1 LINE a.1 one hi",
                                   "DELIVERY/1 LINE a.1 SOME hi"};
    for (const std::string& text : refused) {
        EXPECT_FALSE(DeliveryNotice::Parse(text)) << text;
    }
}

TEST(DeliveryTest, InnerNoticesRoundTripAndOnlyTheirOwnGrammarIsRead) {
    const DeliveryNotice notices[] = {DeliveryNotice::Present(),
                                      DeliveryNotice::Probe(),
                                      DeliveryNotice::Line("a.1", false, "hi  there\r\n"),
                                      DeliveryNotice::Line("Z_-.9", true, ""),
                                      DeliveryNotice::InnerAll("a.2", "abc"),
                                      DeliveryNotice::Ack("b.7"),
                                      DeliveryNotice::Bye(),
                                      DeliveryNotice::File("FILES/3 OFFER x y\r\n")};
    for (const DeliveryNotice& notice : notices) {
        SCOPED_TRACE(notice.ComposeInner());
        const auto parsed = DeliveryNotice::ParseInner(notice.ComposeInner());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->ComposeInner(), notice.ComposeInner());
        EXPECT_EQ(parsed->verb, notice.verb);
        EXPECT_EQ(parsed->line, notice.line);
        EXPECT_EQ(parsed->file, notice.file);
        // The SHA-256 digest, BYE and FILE are not DELIVERY/1.
        const bool innerOnly = notice.verb == DeliveryNotice::Verb::All ||
                               notice.verb == DeliveryNotice::Verb::Bye ||
                               notice.verb == DeliveryNotice::Verb::File;
        EXPECT_EQ(DeliveryNotice::Parse(notice.Compose()).has_value(), !innerOnly);
    }
    EXPECT_EQ(DeliveryNotice::InnerAll("a.2", "abc").ComposeInner(),
              "ALL a.2 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string sha(64, 'a');
    const std::string refused[] = {"DELIVERY/1 PRESENT",
                                   "ALL a.1 0123456789abcdef",
                                   "ALL a.1 " + std::string(64, 'A'),
                                   "ALL a.1 " + sha.substr(1),
                                   std::string("LINE a.1 ONE h\0i", 16),
                                   "FILE FILES/2 OFFER",
                                   "FILE",
                                   "FILE " + std::string(kSecureMaxPlaintext, 'F'),
                                   "BYES"};
    for (const std::string& text : refused) {
        EXPECT_FALSE(DeliveryNotice::ParseInner(text)) << text;
    }
    EXPECT_FALSE(DeliveryNotice::Parse("DELIVERY/1 ALL a.1 " + sha));
    EXPECT_TRUE(DeliveryNotice::ParseInner("ALL a.1 " + sha));
}

// One step: 'p' a plain line shown, 'o' LINE ONE, 'l' LINE ALL, 'a' ALL notice; sender
// "pc2" unless `other`; `seconds` passed before it; the verdict (ignored for 'p').
struct Step {
    char kind;
    const char* id;
    const char* text;
    Verdict verdict = Verdict::Show;
    int seconds = 0;
    bool other = false;
};

TEST(DeliveryTest, EachLineIsShownOnceHoweverItsCopiesArrive) {
    const std::pair<const char*, std::vector<Step>> cases[] = {
        {"retransmitted", {{'o', "a.1", "hi"}, {'o', "a.1", "hi", Verdict::AckOnly}}},
        {"plain then ALL", {{'p', "", "hi"}, {'a', "a.1", "hi", Verdict::AckOnly}}},
        {"ALL first", {{'a', "a.1", "hi", Verdict::Wait}, {'l', "a.1", "hi"}}},
        {"ALL lost", {{'p', "", "hi"}, {'l', "a.1", "hi", Verdict::AckOnly}}},
        {"ALL again",
         {{'p', "", "hi"},
          {'a', "a.1", "hi", Verdict::AckOnly},
          {'a', "a.1", "hi", Verdict::AckOnly},
          {'l', "a.1", "hi", Verdict::AckOnly}}},
        {"two alike",
         {{'p', "", "hi"},
          {'p', "", "hi"},
          {'a', "a.1", "hi", Verdict::AckOnly},
          {'a', "a.2", "hi", Verdict::AckOnly},
          {'a', "a.3", "hi", Verdict::Wait}}},
        {"ONE never claims",
         {{'p', "", "hi"}, {'o', "a.1", "hi"}, {'a', "a.2", "hi", Verdict::AckOnly}}},
        {"too old", {{'p', "", "hi"}, {'a', "a.1", "hi", Verdict::Wait, 31}}},
        {"other sender",
         {{'p', "", "hi", Verdict::Show, 0, true}, {'a', "a.1", "hi", Verdict::Wait}}},
        {"other text", {{'p', "", "hi"}, {'l', "a.1", "ho"}}}};
    for (const auto& [name, steps] : cases) {
        SCOPED_TRACE(name);
        ShownLines shown;
        ShownLines::Clock::time_point now{};
        for (const Step& step : steps) {
            now += std::chrono::seconds(step.seconds);
            const char* sender = step.other ? "pc3" : "pc2";
            if (step.kind == 'p') {
                shown.NotePlainLine(sender, step.text, now);
                continue;
            }
            const DeliveryNotice notice =
                step.kind == 'a' ? DeliveryNotice::All(step.id, step.text)
                                 : DeliveryNotice::Line(step.id, step.kind == 'l', step.text);
            EXPECT_EQ(shown.Take(sender, notice, now), step.verdict) << step.kind << step.id;
        }
    }
}

TEST(DeliveryTest, ShownLinesForgetTheirOldestBeyondTheirBounds) {
    ShownLines shown;
    const ShownLines::Clock::time_point now{};
    for (std::size_t n = 0; n <= ShownLines::kMostIds; ++n) {
        ASSERT_EQ(shown.Take("pc2", DeliveryNotice::Line(std::to_string(n), false, "hi"), now),
                  Verdict::Show);
    }
    EXPECT_EQ(shown.Take("pc2", DeliveryNotice::Line("1", false, "hi"), now), Verdict::AckOnly);
    EXPECT_EQ(shown.Take("pc2", DeliveryNotice::Line("0", false, "hi"), now), Verdict::Show);
    for (std::size_t n = 0; n <= ShownLines::kMostPlainLines; ++n) {
        shown.NotePlainLine("pc2", std::to_string(n), now);
    }
    EXPECT_EQ(shown.Take("pc2", DeliveryNotice::All("x.0", "0"), now), Verdict::Wait);
    EXPECT_EQ(shown.Take("pc2", DeliveryNotice::All("x.1", "1"), now), Verdict::AckOnly);
}

struct ReceiptsTest : testing::Test {
    /// Polls at each NextDue (and once halfway before it, when nothing may be due) until the
    /// line's state changes (100 at most); the milliseconds since `start` of each datagram sent.
    std::vector<double> RunUntilChange(LineReceipts::LineKey key) {
        std::vector<double> sent;
        for (int polls = 0; polls < 100 && receipts.StatusOf(key).value().state == State::Pending &&
                            receipts.NextDue();
             ++polls) {
            const auto due = *receipts.NextDue();
            EXPECT_TRUE(due == now ||
                        receipts.Poll(now + (due - now) / 2, sends).datagrams.empty());
            now = due;
            for (const auto& datagram : receipts.Poll(now, sends).datagrams) {
                sent.push_back(std::chrono::duration<double, std::milli>(now - start).count());
                last = datagram;
            }
        }
        return sent;
    }
    LineReceipts receipts;
    HelloAnswerBudget sends{HelloAnswerBudget::kDeliverySendLimits};
    LineReceipts::Clock::time_point start{1h};
    LineReceipts::Clock::time_point now = start;
    LineReceipts::Datagram last;
};

TEST_F(ReceiptsTest, ALineToOneIsRetriedUntilItsDeadlineThenWaitsForItsHost) {
    const auto key = receipts.ToOne({"Alice", "10.0.0.2"}, "hi\r\n", now);
    // Waits of 250 and 375 ms, then 500 ms each until the deadline.
    std::vector<double> schedule = {0, 250, 625};
    while (schedule.back() + 500 < 10000) {
        schedule.push_back(schedule.back() + 500);
    }
    EXPECT_EQ(RunUntilChange(key), schedule);
    const std::string id = receipts.IdOf(key);
    EXPECT_EQ(last.address, "10.0.0.2");
    EXPECT_EQ(last.notice.Compose(), "DELIVERY/1 LINE " + id + " ONE hi\r\n");
    EXPECT_EQ(now - start, 10s);
    EXPECT_EQ(receipts.StatusOf(key)->state, State::NotDelivered);
    EXPECT_TRUE(receipts.StatusOf(key)->inOutbox);
    EXPECT_FALSE(receipts.NextDue());

    now += 1min;
    receipts.HostHeard("ALICE", "10.0.0.9", now);
    EXPECT_EQ(receipts.InOutbox(), 0u);
    EXPECT_EQ(RunUntilChange(key).size(), schedule.size());
    EXPECT_EQ(last.address, "10.0.0.9");
    EXPECT_EQ(receipts.StatusOf(key)->deadlinesPassed, 2);
    // A receipt counts from that host at the address the line now goes to.
    EXPECT_FALSE(receipts.OnAck("bob", "10.0.0.9", id, now));
    EXPECT_FALSE(receipts.OnAck("alice", "10.0.0.2", id, now));
    EXPECT_FALSE(receipts.OnAck("alice", "10.0.0.9", id + "0", now));
    EXPECT_EQ(receipts.OnAck("alice", "10.0.0.9", id, now), key);
    EXPECT_FALSE(receipts.OnAck("alice", "10.0.0.9", id, now));
    EXPECT_EQ(receipts.StatusOf(key)->state, State::Delivered);
    EXPECT_TRUE(receipts.StatusOf(key)->late);
    EXPECT_FALSE(receipts.Retry(key, now));

    const auto once = receipts.ToOne({"bob", "10.0.0.3"}, "yo\r\n", now, false);
    RunUntilChange(once);
    EXPECT_FALSE(receipts.StatusOf(once)->inOutbox);
    receipts.HostHeard("bob", "10.0.0.3", now);
    EXPECT_FALSE(receipts.NextDue());
    EXPECT_TRUE(receipts.Retry(once, now));
    EXPECT_EQ(receipts.Poll(now, sends).datagrams.size(), 1u);
}

TEST_F(ReceiptsTest, ALineToEverybodyIsResentToTheHostsThatDidNotAcknowledgeIt) {
    EXPECT_EQ(receipts.StatusOf(receipts.ToEverybody({}, "hi\r\n", now))->state, State::Delivered);
    const auto key = receipts.ToEverybody({{"a", "10.0.0.1"}, {"b", "10.0.0.2"}, {"c", "10.0.0.3"}},
                                          "hi\r\n", now);
    const std::string id = receipts.IdOf(key);
    EXPECT_FALSE(receipts.OnAck("A", "10.0.0.2", id, now)) << "not from where the line goes";
    EXPECT_EQ(receipts.OnAck("A", "10.0.0.1", id, now), key);
    EXPECT_EQ(RunUntilChange(key).front(), 250);
    EXPECT_EQ(last.notice.Compose(), "DELIVERY/1 LINE " + id + " ALL hi\r\n");
    EXPECT_EQ(receipts.OnAck("b", "10.0.0.2", id, now), key);
    const auto status = receipts.StatusOf(key);
    EXPECT_EQ(status->state, State::NotDelivered);
    EXPECT_FALSE(status->inOutbox);
    EXPECT_EQ(status->expected, 3u);
    EXPECT_EQ(status->delivered, 2u);
    EXPECT_EQ(status->missing, std::vector<std::string>{"c"});
    receipts.HostHeard("C", "10.0.0.30", now);
    EXPECT_TRUE(receipts.Retry(key, now));
    const auto resent = receipts.Poll(now, sends).datagrams;
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0].address, "10.0.0.30");
    EXPECT_EQ(receipts.OnAck("c", "10.0.0.30", id, now), key);
    // 500 names forged at 10.0.0.9 (which never answers): as many as it waits for, each sent
    // the line again and again, made 10,000 datagrams to 10.0.0.9; now the budget bounds them.
    std::vector<LineReceipts::Host> forged;
    for (int name = 0; name < 500; ++name) {
        forged.push_back({"F" + std::to_string(name), "10.0.0.9"});
    }
    const auto flood = receipts.ToEverybody(forged, "hi\r\n", now);
    EXPECT_EQ(receipts.StatusOf(flood)->expected, LineReceipts::kMostExpected);
    const auto limits = HelloAnswerBudget::kDeliverySendLimits;
    EXPECT_LE(RunUntilChange(flood).size(), limits.answerBurst + limits.answersPerSecond * 10);
    // A line a person sends goes once all the same.
    while (sends.Admit("10.0.0.9", now)) {
    }
    receipts.ToOne({"F1", "10.0.0.9"}, "hi\r\n", now);
    EXPECT_EQ(receipts.Poll(now, sends).datagrams.size(), 1u);
}

TEST_F(ReceiptsTest, TheOldestLinesAreForgottenBeyondTheBoundsAndNoIdForetellsTheNext) {
    for (std::size_t n = 0; n <= LineReceipts::kMostInOutbox; ++n) {
        receipts.ToOne({"a", "10.0.0.1"}, "hi\r\n", now);
    }
    receipts.Poll(now, sends);
    receipts.Poll(now + 10s, sends);
    EXPECT_EQ(receipts.InOutbox(), LineReceipts::kMostInOutbox);
    EXPECT_FALSE(receipts.StatusOf(1));
    // Each id is 64 bits drawn afresh: no two alike, every hex digit of them varies.
    std::set<std::string> ids;
    std::vector<std::set<char>> digits(LineReceipts::kIdLength);
    for (std::size_t n = LineReceipts::kMostInOutbox + 2; n <= LineReceipts::kMostLines + 1; ++n) {
        const std::string id = receipts.IdOf(receipts.ToOne({"a", "10.0.0.1"}, "hi\r\n", now));
        ASSERT_TRUE(IsDeliveryId(id) && id.size() == LineReceipts::kIdLength) << id;
        ids.insert(id);
        for (std::size_t place = 0; place < id.size(); ++place) {
            digits[place].insert(id[place]);
        }
    }
    EXPECT_EQ(ids.size(), LineReceipts::kMostLines - LineReceipts::kMostInOutbox);
    for (const std::set<char>& seen : digits) {
        EXPECT_EQ(seen.size(), 16u);
    }
    EXPECT_TRUE(receipts.OnAck("a", "10.0.0.1", receipts.IdOf(500), now));
    receipts.ToOne({"a", "10.0.0.1"}, "hi\r\n", now);
    EXPECT_FALSE(receipts.StatusOf(500));
    EXPECT_TRUE(receipts.StatusOf(2));
    receipts.ToOne({"a", "10.0.0.1"}, "hi\r\n", now);
    EXPECT_FALSE(receipts.StatusOf(2));
    EXPECT_TRUE(receipts.StatusOf(3));
    LineReceipts pending;
    const std::string first = pending.IdOf(pending.ToOne({"a", "10.0.0.1"}, "hi\r\n", now));
    for (std::size_t n = 0; n < LineReceipts::kMostLines; ++n) {
        pending.ToOne({"a", "10.0.0.1"}, "hi\r\n", now);
    }
    EXPECT_FALSE(pending.StatusOf(1));
    EXPECT_FALSE(pending.OnAck("a", "10.0.0.1", first, now));
    EXPECT_TRUE(pending.StatusOf(2));
}

} // namespace
} // namespace kestrane::test
