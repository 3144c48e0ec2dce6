#include "security/StreamHandshake.h"

#include <gtest/gtest.h>
#include <random>

namespace kestrane {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPrologue{'K', 'e', 's', 't', 'r', 'a', 'n', 'e'};

Bytes Random(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Feeds `bytes` to `take` in pieces of random sizes, as reads off a socket come.
template <typename Take> bool InPieces(const Bytes& bytes, std::mt19937& random, Take take) {
    std::size_t at = 0;
    do {
        const std::size_t piece = std::min<std::size_t>(bytes.size() - at, 1 + random() % 9000);
        if (!take(std::span(bytes).subspan(at, piece))) {
            return false;
        }
        at += piece;
    } while (at < bytes.size());
    return true;
}

struct Pair {
    KeyPair initiatorKey = *KeyPair::Generate();
    KeyPair responderKey = *KeyPair::Generate();
    StreamHandshake initiator{NoiseRole::Initiator, initiatorKey, kPrologue};
    StreamHandshake responder{NoiseRole::Responder, responderKey, kPrologue};
};

// Runs the handshake with the bytes cut anywhere; the initiator's first
// transport frame rides with its last handshake frame.
std::optional<std::pair<StreamHandshake::Transport, StreamHandshake::Transport>>
Connect(Pair& pair, std::mt19937& random, const Bytes& firstLine) {
    const Bytes toResponder = pair.initiator.Start();
    EXPECT_TRUE(pair.responder.Start().empty());
    Bytes toInitiator;
    const auto feed = [](StreamHandshake& side, Bytes& answers) {
        return [&side, &answers](std::span<const std::uint8_t> piece) {
            const std::optional<Bytes> answer = side.Feed(piece);
            if (!answer) {
                return false;
            }
            answers.insert(answers.end(), answer->begin(), answer->end());
            return true;
        };
    };
    if (!InPieces(toResponder, random, feed(pair.responder, toInitiator))) {
        return std::nullopt;
    }
    Bytes last;
    if (!InPieces(toInitiator, random, feed(pair.initiator, last))) {
        return std::nullopt;
    }
    std::optional<StreamHandshake::Transport> initiator = pair.initiator.Split();
    if (!initiator || !initiator->sealer.Seal(firstLine, last)) {
        return std::nullopt;
    }
    Bytes none;
    if (!InPieces(last, random, feed(pair.responder, none)) || !none.empty()) {
        return std::nullopt;
    }
    std::optional<StreamHandshake::Transport> responder = pair.responder.Split();
    if (!responder) {
        return std::nullopt;
    }
    return std::pair{std::move(*initiator), std::move(*responder)};
}

TEST(StreamHandshake, CarriesEverySizeBothWaysWhateverTheReadsAndLearnsBothKeys) {
    std::mt19937 random(11);
    Pair pair;
    const Bytes hello{'F', 'I', 'L', 'E', 'S', '/', '3'};
    auto connected = Connect(pair, random, hello);
    ASSERT_TRUE(connected);
    auto& [initiator, responder] = *connected;
    EXPECT_EQ(pair.initiator.RemoteStatic(), pair.responderKey.Public());
    EXPECT_EQ(pair.responder.RemoteStatic(), pair.initiatorKey.Public());
    EXPECT_FALSE(pair.initiator.Split()) << "split twice";

    Bytes opened;
    ASSERT_TRUE(responder.opener.Open({}, opened));
    EXPECT_EQ(opened, hello);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, FrameSealer::kMaxPlaintext,
                                   FrameSealer::kMaxPlaintext + 1, std::size_t{300000}}) {
        SCOPED_TRACE(size);
        const Bytes text = Random(size, random);
        for (auto [from, to] : {std::pair{&initiator, &responder}, {&responder, &initiator}}) {
            Bytes stream;
            ASSERT_TRUE(from->sealer.Seal(text, stream));
            EXPECT_EQ(stream.size(), FrameSealer::FramedSize(size));
            Bytes got;
            ASSERT_TRUE(InPieces(stream, random, [&](std::span<const std::uint8_t> piece) {
                return to->opener.Open(piece, got);
            }));
            EXPECT_EQ(got, text);
            EXPECT_EQ(to->opener.Pending(), 0u);
        }
    }
}

// A frame changed, cut short of its tag, repeated or swapped breaks the
// stream for good; what came before it stays opened.
TEST(StreamHandshake, AnyChangedFrameBreaksTheStreamForGood) {
    std::mt19937 random(12);
    const struct {
        const char* what;
        void (*spoil)(Bytes& frames, std::size_t second);
    } cases[] = {
        {"a bit flipped", [](Bytes& frames, std::size_t second) { frames[second + 9] ^= 1; }},
        {"a length below the tag",
         [](Bytes& frames, std::size_t second) {
             frames[second] = 0;
             frames[second + 1] = 15;
         }},
        {"the first frame again",
         [](Bytes& frames, std::size_t second) {
             const Bytes first(frames.begin(),
                               frames.begin() + static_cast<std::ptrdiff_t>(second));
             frames = first;
             frames.insert(frames.end(), first.begin(), first.end());
         }},
        {"the second frame cut in front of the third",
         [](Bytes& frames, std::size_t second) {
             frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(second),
                          frames.begin() + static_cast<std::ptrdiff_t>(2 * second));
         }},
    };
    for (const auto& spoiled : cases) {
        SCOPED_TRACE(spoiled.what);
        Pair pair;
        auto connected = Connect(pair, random, {});
        ASSERT_TRUE(connected);
        auto& [initiator, responder] = *connected;
        const Bytes first = Random(100, random);
        Bytes frames;
        for (int frame = 0; frame < 3; ++frame) {
            ASSERT_TRUE(initiator.sealer.Seal(first, frames));
        }
        const std::size_t second = FrameSealer::FramedSize(first.size());
        spoiled.spoil(frames, second);
        Bytes got;
        EXPECT_FALSE(responder.opener.Open(frames, got));
        EXPECT_TRUE(responder.opener.Broken());
        EXPECT_EQ(got, first);
        EXPECT_FALSE(responder.opener.Open(frames, got));
    }
}

// A handshake frame of the wrong length fails at its length, before any
// public-key work; another prologue or a changed message fails too, and
// nothing splits.
TEST(StreamHandshake, RefusesFramesOfTheWrongSizeAnotherPrologueOrAChangedMessage) {
    KeyPair key = *KeyPair::Generate();
    {
        StreamHandshake responder(NoiseRole::Responder, key, kPrologue);
        EXPECT_FALSE(responder.Feed(Bytes{0x00, 0x21}));
        EXPECT_TRUE(responder.Failed());
        EXPECT_FALSE(responder.Feed(Bytes(34, 0)));
    }
    {
        StreamHandshake initiator(NoiseRole::Initiator, key, kPrologue);
        StreamHandshake other(NoiseRole::Responder, key, Bytes{'o', 't', 'h', 'e', 'r'});
        const std::optional<Bytes> second = other.Feed(initiator.Start());
        ASSERT_TRUE(second && second->size() == 98);
        EXPECT_FALSE(initiator.Feed(*second));
        EXPECT_FALSE(initiator.Split());
    }
    {
        StreamHandshake initiator(NoiseRole::Initiator, key, kPrologue);
        StreamHandshake responder(NoiseRole::Responder, key, kPrologue);
        std::optional<Bytes> second = responder.Feed(initiator.Start());
        ASSERT_TRUE(second);
        const std::optional<Bytes> third = initiator.Feed(*second);
        ASSERT_TRUE(third && third->size() == 66);
        Bytes changed = *third;
        changed[40] ^= 0x80;
        EXPECT_FALSE(responder.Feed(changed));
        EXPECT_FALSE(responder.Done());
        EXPECT_FALSE(responder.Split());
    }
}

} // namespace
} // namespace kestrane
