#include "security/NoiseTransport.h"

#include "security/ReplayWindow.h"

#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <set>

namespace kestrane {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

TEST(ReplayWindow, AcceptsEachCounterOnceWithinTheWindow) {
    const struct {
        std::uint64_t counter;
        bool fresh;
    } steps[] = {
        {0, true},
        {0, false},
        {2, true},
        {1, true},
        {1, false},
        {1025, true},
        {1, false},
        {2, false},
        {3, true},
        {1024, true},
        {5000, true},
        {3977, true},
        {3976, false},
        {5000, false},
        {4999, true},
        {kNever, false},
        {kNever - 1, true},
        {kNever - 1, false},
        {kNever - 1024, true},
        {kNever - 1025, false},
    };
    ReplayWindow window;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.counter);
        EXPECT_EQ(window.Fresh(step.counter), step.fresh);
        window.Accept(step.counter);
    }
}

// Against a set of every counter accepted, over jumps of every size.
TEST(ReplayWindow, AgreesWithAPlainModel) {
    std::mt19937_64 random(7);
    ReplayWindow window;
    std::set<std::uint64_t> accepted;
    std::uint64_t highest = 1 << 20; // far enough from 0 that counters never wrap
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t span = std::uint64_t{1} << (random() % 12);
        const std::uint64_t counter = highest + span - random() % (2 * span);
        const bool fresh = !accepted.contains(counter) &&
                           (accepted.empty() || counter + ReplayWindow::kSize > highest);
        ASSERT_EQ(window.Fresh(counter), fresh) << counter << " after " << highest;
        if (fresh && random() % 2 == 0) {
            window.Accept(counter);
            accepted.insert(counter);
            highest = std::max(highest, counter);
        }
    }
}

struct Ends {
    NoiseTransport a;
    NoiseTransport b;
};

Ends MakeEnds(std::uint64_t firstCounter = 0) {
    NoiseCipherState aToB, bToA;
    aToB.InitializeKey(Secret32(std::array<std::uint8_t, 32>{1}));
    bToA.InitializeKey(Secret32(std::array<std::uint8_t, 32>{2}));
    aToB.SetNonce(firstCounter);
    return {NoiseTransport(aToB, bToA), NoiseTransport(bToA, aToB)};
}

TEST(NoiseTransport, OpensLateDatagramsOnceAndOnlyWithinTheWindow) {
    Ends ends = MakeEnds();
    std::vector<Bytes> sent;
    for (std::uint8_t i = 0; sent.size() < 1030; ++i) {
        sent.push_back(*ends.a.Seal(Bytes{i}));
    }
    const struct {
        std::size_t index;
        bool opens;
    } steps[] = {{1, true},    {0, true},  {1, false}, {3, true}, {2, true},    {3, false},
                 {1029, true}, {4, false}, {5, false}, {6, true}, {1028, true}, {6, false}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.index);
        const auto plaintext = ends.b.Open(sent[step.index]);
        EXPECT_EQ(plaintext.has_value(), step.opens);
        if (plaintext) {
            EXPECT_EQ(*plaintext, Bytes{static_cast<std::uint8_t>(step.index)});
        }
    }
}

TEST(NoiseTransport, RefusesForgedShortAndReflectedDatagrams) {
    Ends ends = MakeEnds();
    const Bytes genuine = *ends.a.Seal(Bytes{'h', 'i'});
    EXPECT_EQ(genuine.size(), 2 + NoiseTransport::kOverhead);
    EXPECT_EQ(Bytes(genuine.begin(), genuine.begin() + 8), Bytes(8, 0));
    Bytes forged = genuine;
    forged.back() ^= 1;
    Bytes otherCounter = genuine;
    otherCounter[0] = 1;
    for (const Bytes& bad : {forged, otherCounter, Bytes(genuine.begin(), genuine.end() - 1),
                             Bytes(NoiseTransport::kOverhead - 1), Bytes(70000)}) {
        EXPECT_FALSE(ends.b.Open(bad));
    }
    EXPECT_FALSE(ends.a.Open(genuine)) << "its own datagram sent back";
    // The forgeries did not use up the genuine datagram's counter.
    EXPECT_EQ(ends.b.Open(genuine), (Bytes{'h', 'i'}));
    EXPECT_EQ(ends.b.Open(*ends.a.Seal(Bytes{})), Bytes{});
    EXPECT_FALSE(ends.a.Seal(Bytes(NoiseTransport::kMaxPlaintext + 1)));
}

TEST(NoiseTransport, StopsSendingBeforeTheReservedCounter) {
    Ends ends = MakeEnds(kNever - 1);
    EXPECT_FALSE(ends.a.Exhausted());
    const auto last = ends.a.Seal(Bytes{'z'});
    ASSERT_TRUE(last);
    EXPECT_EQ(Bytes(last->begin(), last->begin() + 8),
              (Bytes{0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_TRUE(ends.a.Exhausted());
    EXPECT_FALSE(ends.a.Seal(Bytes{'z'}));
    EXPECT_EQ(ends.b.Open(*last), Bytes{'z'});
}

} // namespace
} // namespace kestrane
