// What a hostile end of a TCP connection can send the stream layer, with
// fixed static keys. The first byte picks the target:
//   0, 1  a responder (0) or an initiator (1) reading a hostile peer's bytes,
//         in pieces of a length byte each then that many bytes: it answers
//         and fails exactly as a plain model of the frame lengths says, and
//         never finishes, since no message of the peer's can authenticate
//   2     a genuine exchange with the streams tampered with on the way: the
//         sizes of four plaintexts the initiator seals (3 bytes), then three
//         lists of edits, to message 1, to message 2, and to message 3 with
//         the sealed frames behind it (a count, then per edit an operation
//         and three 16-bit numbers: a byte XORed, a cut, a run taken out or
//         a run of the genuine stream repeated elsewhere), then the sizes of
//         the reads. A side finishes exactly when what it read of the
//         handshake was genuine, learns the genuine key, and the responder's
//         opener gives exactly the plaintext of the genuine frames before the
//         first change, holding at most one frame begun.
#include "security/FrameOpener.h"
#include "security/FrameSealer.h"
#include "security/StreamHandshake.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

namespace {

using namespace kestrane;
using Bytes = std::vector<std::uint8_t>;

// The largest frame, length included: all an opener may hold between reads.
constexpr std::size_t kMostPending = FrameSealer::kLengthSize + 65535;
constexpr std::size_t kMessage1 = FrameSealer::kLengthSize + StreamHandshake::kMessageSizes[0];
constexpr std::size_t kMessage2 = FrameSealer::kLengthSize + StreamHandshake::kMessageSizes[1];
constexpr std::size_t kMessage3 = FrameSealer::kLengthSize + StreamHandshake::kMessageSizes[2];
const Bytes kPrologue{'f', 'u', 'z', 'z'};

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

KeyPair Key(std::uint8_t fill) {
    return *KeyPair::FromPrivate(Bytes(32, fill));
}

struct Input {
    std::span<const std::uint8_t> bytes;
    bool Empty() const { return bytes.empty(); }
    // Zero once the input ends, so a short input still makes a whole run.
    std::uint8_t Byte() {
        if (bytes.empty()) {
            return 0;
        }
        const std::uint8_t byte = bytes.front();
        bytes = bytes.subspan(1);
        return byte;
    }
    std::size_t Word() { return std::size_t{Byte()} << 8 | Byte(); }
};

// Whether a frame header of `length` starts at `at`; true while it is not all there.
bool HeaderMayBe(const Bytes& stream, std::size_t at, std::size_t length) {
    return stream.size() < at + FrameSealer::kLengthSize ||
           (stream[at] == length >> 8 && stream[at + 1] == (length & 0xff));
}

// Raw bytes to one side. Nothing the peer sends after the first message can
// authenticate: it would need this side's ephemeral key, drawn afresh.
void Hostile(NoiseRole role, Input input) {
    const KeyPair local = Key(role == NoiseRole::Initiator ? 1 : 2);
    StreamHandshake side(role, local, kPrologue);
    const Bytes first = side.Start();
    Check(first.size() == (role == NoiseRole::Initiator ? kMessage1 : 0));
    Bytes read;
    std::size_t answered = 0;
    while (!input.Empty()) {
        const std::size_t length = input.Byte();
        const auto piece = input.bytes.first(std::min(length, input.bytes.size()));
        input.bytes = input.bytes.subspan(piece.size());
        const bool failedBefore = side.Failed();
        read.insert(read.end(), piece.begin(), piece.end());
        const std::optional<Bytes> answer = side.Feed(piece);
        bool fails = false;
        if (role == NoiseRole::Responder) {
            // An ephemeral key of small order fails the DH behind the answer.
            PublicKey ephemeral{};
            if (read.size() >= kMessage1) {
                std::copy_n(read.begin() + FrameSealer::kLengthSize, ephemeral.size(),
                            ephemeral.begin());
            }
            const bool smallOrder = read.size() >= kMessage1 && !local.Agree(ephemeral);
            fails = !HeaderMayBe(read, 0, StreamHandshake::kMessageSizes[0]) || smallOrder ||
                    !HeaderMayBe(read, kMessage1, StreamHandshake::kMessageSizes[2]) ||
                    read.size() >= kMessage1 + kMessage3;
        } else {
            fails = !HeaderMayBe(read, 0, StreamHandshake::kMessageSizes[1]) ||
                    read.size() >= kMessage2;
        }
        Check(side.Failed() == fails && answer.has_value() == !fails);
        Check(!failedBefore || fails);
        if (answer) {
            answered += answer->size();
        }
        // The responder answers message 1 once, whole; though a piece that
        // also holds what fails it loses the answer.
        const bool answers = role == NoiseRole::Responder && read.size() >= kMessage1;
        Check(answered == (answers ? kMessage2 : 0) || (fails && answered == 0));
        Check(!side.Done() && !side.RemoteStatic());
    }
    Check(!side.Split());
}

struct Edit {
    std::uint8_t operation = 0;
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t z = 0;
};

std::vector<Edit> ReadEdits(Input& input) {
    std::vector<Edit> edits(input.Byte() % 5);
    for (Edit& edit : edits) {
        edit.operation = input.Byte();
        edit.x = input.Word();
        edit.y = input.Word();
        edit.z = input.Word();
    }
    return edits;
}

Bytes Edited(const Bytes& genuine, const std::vector<Edit>& edits) {
    Bytes stream = genuine;
    for (const Edit& edit : edits) {
        switch (edit.operation % 4) {
        case 0:
            if (!stream.empty()) {
                stream[edit.x % stream.size()] ^= static_cast<std::uint8_t>(edit.y);
            }
            break;
        case 1:
            stream.resize(edit.x % (stream.size() + 1));
            break;
        case 2: {
            const std::size_t at = edit.x % (stream.size() + 1);
            const std::size_t length = std::min(edit.y, stream.size() - at);
            stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(at + length));
            break;
        }
        default: {
            // A frame replayed, moved or spliced into another.
            const std::size_t from = edit.x % (genuine.size() + 1);
            const std::size_t length = std::min(edit.y, genuine.size() - from);
            const std::size_t to = edit.z % (stream.size() + 1);
            stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(to),
                          genuine.begin() + static_cast<std::ptrdiff_t>(from),
                          genuine.begin() + static_cast<std::ptrdiff_t>(from + length));
            break;
        }
        }
    }
    return stream;
}

// Gives `stream` to `take` in reads of the input's sizes: a byte below 128
// is that many bytes (0, an empty read), above it that many KiB less 127;
// once the input ends, the rest in one read.
template <typename Take>
void InPieces(std::span<const std::uint8_t> stream, Input& input, Take take) {
    while (!stream.empty()) {
        std::size_t piece = stream.size();
        if (!input.Empty()) {
            const std::size_t size = input.Byte();
            piece = std::min(piece, size < 128 ? size : (size - 127) * 1024);
        }
        take(stream.first(piece));
        stream = stream.subspan(piece);
    }
}

std::size_t CommonPrefix(const Bytes& left, const Bytes& right) {
    const std::size_t most = std::min(left.size(), right.size());
    return static_cast<std::size_t>(
        std::mismatch(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(most), right.begin())
            .first -
        left.begin());
}

// Feeds a side's handshake, then once it is done its opener. Failure of the
// handshake is final, and the caller's model says when it must happen.
struct Receiver {
    Receiver(NoiseRole role, const KeyPair& key) : handshake(role, key, kPrologue) {}

    StreamHandshake handshake;
    std::optional<StreamHandshake::Transport> transport;
    Bytes answers;
    Bytes opened;
    bool refused = false;

    void Take(std::span<const std::uint8_t> piece) {
        if (!transport) {
            const std::optional<Bytes> answer = handshake.Feed(piece);
            Check(answer.has_value() == !handshake.Failed() && (!refused || !answer));
            refused = !answer;
            if (answer) {
                answers.insert(answers.end(), answer->begin(), answer->end());
            }
            if (!handshake.Done()) {
                return;
            }
            transport = handshake.Split();
            Check(transport.has_value() && !handshake.Split());
            piece = {}; // what this read held past message 3 came over with the opener
        }
        const std::size_t before = opened.size();
        const bool open = transport->opener.Open(piece, opened);
        Check(open == !transport->opener.Broken() && opened.size() >= before);
        Check(transport->opener.Pending() <= kMostPending &&
              (open || transport->opener.Pending() == 0));
    }
};

void Exchange(Input input) {
    const KeyPair initiatorKey = Key(1);
    const KeyPair responderKey = Key(2);
    const std::array<std::size_t, 4> sizes{input.Byte() % 32u, 0, 100u + input.Byte(),
                                           (input.Byte() & 1u) ? FrameSealer::kMaxPlaintext + 3
                                                               : std::size_t{1}};
    const std::vector<Edit> edits1 = ReadEdits(input);
    const std::vector<Edit> edits2 = ReadEdits(input);
    const std::vector<Edit> edits3 = ReadEdits(input);

    Receiver initiator(NoiseRole::Initiator, initiatorKey);
    Receiver responder(NoiseRole::Responder, responderKey);
    // What each side wrote, and what reached the other.
    Bytes toResponder = initiator.handshake.Start();
    Check(toResponder.size() == kMessage1 && initiator.handshake.Start().empty() &&
          responder.handshake.Start().empty());
    Bytes reachedResponder = Edited(toResponder, edits1);
    InPieces(reachedResponder, input, [&](auto piece) { responder.Take(piece); });
    const Bytes toInitiator = responder.answers;
    const Bytes reachedInitiator = Edited(toInitiator, edits2);
    InPieces(reachedInitiator, input, [&](auto piece) { initiator.Take(piece); });

    // Message 3, then what the initiator seals at once behind it.
    Bytes genuine3 = initiator.answers;
    Bytes plaintext;
    if (initiator.transport) {
        for (std::size_t which = 0; which < sizes.size(); ++which) {
            Bytes text(sizes[which]);
            for (std::size_t at = 0; at < text.size(); ++at) {
                text[at] = static_cast<std::uint8_t>(at * 131 + which);
            }
            Check(initiator.transport->sealer.Seal(text, genuine3));
            plaintext.insert(plaintext.end(), text.begin(), text.end());
        }
    }
    const Bytes reached3 = Edited(genuine3, edits3);
    InPieces(reached3, input, [&](auto piece) { responder.Take(piece); });
    toResponder.insert(toResponder.end(), genuine3.begin(), genuine3.end());
    reachedResponder.insert(reachedResponder.end(), reached3.begin(), reached3.end());

    // Message 2 authenticates only for the genuine message 1, and message 3
    // only after both.
    const std::size_t genuineToResponder = CommonPrefix(toResponder, reachedResponder);
    const bool initiatorDone =
        genuineToResponder >= kMessage1 && CommonPrefix(toInitiator, reachedInitiator) >= kMessage2;
    const bool responderDone = genuineToResponder >= kMessage1 + kMessage3;
    Check(initiator.handshake.Done() == initiatorDone &&
          responder.handshake.Done() == responderDone);
    Check(initiator.answers.size() == (initiatorDone ? kMessage3 : 0) &&
          (responder.answers.empty() || responder.answers.size() == kMessage2));
    // Only bytes of message 2 reach the initiator's opener: none can open.
    Check(initiator.opened.empty());
    for (const Receiver* side : {&initiator, &responder}) {
        Check(!side->handshake.Failed() || (!side->handshake.Done() && !side->transport));
    }
    if (initiatorDone) {
        Check(initiator.handshake.RemoteStatic() == responderKey.Public());
    }
    if (!responderDone) {
        return;
    }
    Check(responder.handshake.RemoteStatic() == initiatorKey.Public());

    // The genuine frames wholly before the first change open, and nothing else.
    const std::size_t start = kMessage1 + kMessage3;
    const Bytes sealed(toResponder.begin() + start, toResponder.end());
    const Bytes reached(reachedResponder.begin() + start, reachedResponder.end());
    const std::size_t same = CommonPrefix(sealed, reached);
    std::size_t whole = 0;
    std::size_t openable = 0;
    while (whole < same) {
        const std::size_t length = std::size_t{sealed[whole]} << 8 | sealed[whole + 1];
        if (whole + FrameSealer::kLengthSize + length > same) {
            break;
        }
        whole += FrameSealer::kLengthSize + length;
        openable += length - NoiseCipherState::kTagSize;
    }
    Check(responder.opened == Bytes(plaintext.begin(), plaintext.begin() + openable));
    const FrameOpener& opener = responder.transport->opener;
    const std::size_t rest = reached.size() - whole;
    std::size_t length = 0;
    if (rest >= FrameSealer::kLengthSize) {
        length = std::size_t{reached[whole]} << 8 | reached[whole + 1];
    }
    const bool broken =
        rest >= FrameSealer::kLengthSize &&
        (length < NoiseCipherState::kTagSize || rest >= FrameSealer::kLengthSize + length);
    Check(opener.Broken() == broken && opener.Pending() == (broken ? 0 : rest));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const Input input{std::span(data + 1, size - 1)};
    switch (data[0] % 3) {
    case 0:
        Hostile(NoiseRole::Responder, input);
        break;
    case 1:
        Hostile(NoiseRole::Initiator, input);
        break;
    default:
        Exchange(input);
        break;
    }
    return 0;
}
