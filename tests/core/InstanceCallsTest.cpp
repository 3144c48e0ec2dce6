#include "core/instance/InstanceCalls.h"

#include "core/instance/SendCommand.h"
#include "platform/SingleInstanceLock.h"

#include <QTest>
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrane::test {
namespace {

using Outcome = ScriptedSend::Outcome;

// A lock held by this process, its calls taken by InstanceCalls, what they asked recorded.
struct Holder {
    Holder() {
        calls.emplace(lock,
                      InstanceCalls::Hooks{
                          .comeForward =
                              [this](const ComeForwardRequest& request) {
                                  forwarded.push_back(request.activationToken);
                              },
                          .sendLine =
                              [this](const ScriptedSend& request, InstanceCalls::Reply reply) {
                                  requests.emplace_back(request, std::move(reply));
                              }});
    }
    const std::string name = "KestraneTestCalls." + std::to_string(getpid());
    SingleInstanceLock lock{name};      // free: no other test holds this name
    std::vector<std::string> forwarded; // the token of each second start
    std::vector<std::pair<ScriptedSend, InstanceCalls::Reply>> requests;
    std::optional<InstanceCalls> calls;
};

// A call to the holder of `name` that has sent `bytes`, and with `hangUp` nothing more.
struct Caller {
    Caller(const std::string& name, const std::string& bytes, bool hangUp = false)
        : descriptor(SingleInstanceLock::CallHolder(name)) {
        EXPECT_EQ(send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        if (hangUp) {
            shutdown(descriptor, SHUT_WR);
        }
    }
    ~Caller() { close(descriptor); }
    // What the holder sent before it closed the call.
    std::string Answer() const {
        std::string received;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                char buffer[2048];
                const ssize_t count = recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
                received.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
                return count == 0 || (count < 0 && errno != EAGAIN);
            },
            5000));
        return received;
    }
    int descriptor;
};

TEST(InstanceCalls, PlainCallsComeForwardRequestsAreAnsweredOnceAndBadOnesRefused) {
    Holder holder;
    {
        const Caller caller(holder.name, "SEND\tpc-7\thello there\n");
        ASSERT_TRUE(QTest::qWaitFor([&] { return holder.requests.size() == 1; }));
        const auto& [request, reply] = holder.requests[0];
        EXPECT_EQ(request.to, "pc-7");
        EXPECT_EQ(request.text, "hello there");
        // A caller that has finished writing still gets its answer. A second start comes
        // forward only once its call has been taken and has ended, by when the first
        // caller's end has been seen.
        shutdown(caller.descriptor, SHUT_WR);
        EXPECT_TRUE(SingleInstanceLock(holder.name).AlreadyExists());
        ASSERT_TRUE(QTest::qWaitFor([&] { return holder.forwarded.size() == 1; }));
        reply(Outcome::Delivered, "to pc-7\nat once");
        reply(Outcome::Refused, "again");
        EXPECT_EQ(caller.Answer(), "DELIVERED\tto pc-7 at once\n");
    }
    const std::pair<std::string, bool> refused[] = {
        {"HELLO\n", false}, {"SEND\tpc\thi", true}, {"SEND\tpc\t" + std::string(8200, 'a'), false}};
    for (const auto& [bytes, hangUp] : refused) {
        SCOPED_TRACE(bytes.substr(0, 12));
        EXPECT_TRUE(Caller(holder.name, bytes, hangUp).Answer().starts_with("REFUSED\t"));
    }
    // A call waiting when the window goes is hung up; its late answer goes nowhere.
    const Caller waiting(holder.name, "SEND\t*\t\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return holder.requests.size() == 2; }));
    EXPECT_TRUE(holder.requests[1].first.toEverybody);
    holder.calls.reset();
    holder.requests[1].second(Outcome::Delivered, "late");
    EXPECT_EQ(waiting.Answer(), "");
    EXPECT_EQ(holder.forwarded, std::vector<std::string>{""});
}

TEST(InstanceCalls, SecondStartsHandOverTheirTokenAndMalformedOnesAreClosedUnanswered) {
    Holder holder;
    const std::string tooLong(ComeForwardRequest::kMostTokenBytes + 1, 't');
    // What each second start sends, and the token it comes forward with (none: it does not).
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {ComeForwardRequest{.activationToken = "wl-1_2:3"}.Compose(), "wl-1_2:3"},
        {ComeForwardRequest{.activationToken = "two words"}.Compose(), ""},
        {ComeForwardRequest{.activationToken = tooLong}.Compose(), ""},
        {"FORWARD\t\n", std::nullopt},
        {"FORWARD\ttwo words\n", std::nullopt},
        {"FORWARD\t" + tooLong + "\n", std::nullopt},
        {"FORWARD\tbad\x01\n", std::nullopt}};
    for (const auto& [bytes, token] : rows) {
        SCOPED_TRACE(bytes.substr(0, 20));
        holder.forwarded.clear();
        if (token) {
            EXPECT_TRUE(SingleInstanceLock(holder.name, bytes).AlreadyExists());
            ASSERT_TRUE(QTest::qWaitFor([&] { return holder.forwarded.size() == 1; }));
            EXPECT_EQ(holder.forwarded[0], *token);
        } else {
            EXPECT_EQ(Caller(holder.name, bytes).Answer(), "");
            EXPECT_EQ(holder.calls->OpenCalls(), 0);
            EXPECT_TRUE(holder.forwarded.empty());
        }
    }
    ASSERT_TRUE(holder.requests.empty());
}

TEST(InstanceCalls, CallsAreCappedAndSilentOnesEndButNotThoseWaitingForTheirAnswer) {
    Holder holder;
    const Caller waiting(holder.name, "SEND\tpc\thi\n");
    std::vector<std::unique_ptr<Caller>> silent;
    while (silent.size() + 1 < InstanceCalls::kMostCalls) {
        silent.push_back(std::make_unique<Caller>(holder.name, ""));
    }
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return holder.calls->OpenCalls() == InstanceCalls::kMostCalls; }));
    EXPECT_EQ(Caller(holder.name, "SEND\tpc\tone too many\n").Answer(), "");
    for (const auto& caller : silent) {
        EXPECT_EQ(caller->Answer(), "");
    }
    EXPECT_EQ(holder.calls->OpenCalls(), 1);
    ASSERT_EQ(holder.requests.size(), 1u);
    holder.requests[0].second(Outcome::NotDelivered, "");
    EXPECT_EQ(waiting.Answer(), "NOT-DELIVERED\t\n");
    EXPECT_TRUE(holder.forwarded.empty());
}

TEST(SendCommand, PrintsTheAnswerAndExitsWithItsStatus) {
    Holder holder;
    const ScriptedSend request{.to = "pc-7", .toEverybody = false, .text = "hi there"};
    // The answer (none: the reply is kept) and its words, what is printed on
    // stdout and stderr, the status. Older copies give no privacy word.
    const std::tuple<std::optional<Outcome>, QString, std::string, std::string, int> rows[] = {
        {Outcome::Delivered, "to pc-7\tverified", "DELIVERED (verified): to pc-7\n", "", 0},
        {Outcome::Delivered, "to pc-7", "DELIVERED: to pc-7\n", "", 0},
        {Outcome::NoReceipts, "to\tpc-7\tplain", "NO-RECEIPTS (not encrypted): to\tpc-7\n", "", 0},
        {Outcome::NotDelivered, "to pc-7\tencrypted",
         "NOT-DELIVERED (encrypted, not verified): to pc-7\n", "", 1},
        {Outcome::Refused, "to pc-7", "", "kestrane: REFUSED: to pc-7\n", 2},
        {std::nullopt, "", "",
         "kestrane: no answer from the running copy; the line may not have been delivered.\n", 1}};
    for (const auto& [outcome, words, out, err, status] : rows) {
        SCOPED_TRACE(status);
        holder.requests.clear();
        std::atomic<int> exitStatus = -1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::jthread client(
            [&] { exitStatus = SendCommand::Run(request, holder.name, std::chrono::seconds(1)); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return holder.requests.size() == 1; }));
        if (outcome && holder.requests.size() == 1) {
            EXPECT_EQ(holder.requests[0].first.text, "hi there");
            holder.requests[0].second(*outcome, words);
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return exitStatus != -1; }));
        client.join();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        EXPECT_EQ(exitStatus, status);
    }
    holder.calls.reset();
    holder.lock.Close();
    EXPECT_EQ(SendCommand::Run(request, holder.name), 2);
}

} // namespace
} // namespace kestrane::test
