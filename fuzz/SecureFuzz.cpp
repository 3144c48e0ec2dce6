// What a hostile peer can send the DELIVERY/2 engine. The first byte picks:
//   0  the parsers: a datagram, a handshake payload or an inner notice, and
//      what parses must compose back to the same fields
//   1  a genuine handshake between two SecureChannels, each of I, R and C
//      preceded by a few mutations of it (a count byte, then three bytes
//      each: a position, a byte to XOR there, 0xFF truncating instead, and
//      the source address), then the genuine transport datagrams and
//      bundles of both sides delivered, replayed or mutated (four bytes
//      each: which one, then as before). A session comes up only on the
//      genuine C or T, a plaintext comes out only for a genuine entry not
//      opened before, a bundle opens at most four, and no table passes its cap.
#include "chat/DeliveryNotice.h"
#include "chat/PeerHello.h"
#include "chat/SecureChannel.h"
#include "chat/SecureDatagram.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace kestrane;
using Bytes = std::vector<std::uint8_t>;

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

KeyPair Key(std::uint8_t fill) {
    return *KeyPair::FromPrivate(Bytes(32, fill));
}

// The inner notices, and DELIVERY/1 which must not read what only they hold.
void Notices(std::string_view text) {
    if (const auto notice = DeliveryNotice::ParseInner(text)) {
        const std::string composed = notice->ComposeInner();
        const auto again = DeliveryNotice::ParseInner(composed);
        Check(text.find('\0') == std::string_view::npos && again &&
              again->ComposeInner() == composed && again->line == notice->line &&
              again->file == notice->file && again->digest == notice->digest);
    }
    if (const auto notice = DeliveryNotice::Parse(text)) {
        Check(notice->verb != DeliveryNotice::Verb::Bye &&
              notice->verb != DeliveryNotice::Verb::File &&
              notice->digest.size() == (notice->verb == DeliveryNotice::Verb::All ? 16u : 0u));
    }
}

void Parsers(std::span<const std::uint8_t> input) {
    Notices({reinterpret_cast<const char*>(input.data()), input.size()});
    if (const auto parsed = ParseSecureDatagram(input)) {
        const auto again = ParseSecureDatagram(ComposeSecureDatagram("n", *parsed));
        Check(again && again->kind == parsed->kind && again->receiver == parsed->receiver &&
              again->sender == parsed->sender && again->message == parsed->message &&
              again->entries == parsed->entries);
        Check(parsed->entries.size() <= kBundleMostEntries);
    }
    if (const auto hello = PeerHello::Parse(input)) {
        const std::string text = hello->Compose();
        const auto again =
            PeerHello::Parse({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        Check(again && again->name == hello->name && again->files == hello->files);
    }
}

struct Input {
    std::span<const std::uint8_t> bytes;
    std::optional<std::uint8_t> Next() {
        if (bytes.empty()) {
            return std::nullopt;
        }
        const std::uint8_t byte = bytes.front();
        bytes = bytes.subspan(1);
        return byte;
    }
};

struct Pair {
    SecureChannel::Clock::time_point now{};
    SecureChannel a{Key(1), "a", [this] { return now; }};
    SecureChannel b{Key(2), "b", [this] { return now; }};

    SecureChannel& To(bool toB) { return toB ? b : a; }
    void CheckCaps() const {
        for (const SecureChannel* channel : {&a, &b}) {
            Check(channel->Sessions() <= SecureChannel::kMostSessions &&
                  channel->ResponderPendings() <= SecureChannel::kMostResponderPendings &&
                  channel->InitiatorPendings() <= SecureChannel::kMostInitiatorPendings);
        }
    }
};

// The genuine datagram with one change the input chooses; nothing when the input ends.
std::optional<std::pair<Bytes, std::string>> Mutate(const Bytes& genuine, Input& input,
                                                    const std::string& from) {
    const auto position = input.Next();
    const auto change = input.Next();
    const auto source = input.Next();
    if (!source) {
        return std::nullopt;
    }
    Bytes datagram = genuine;
    if (*change == 0xFF) {
        datagram.resize(*position % datagram.size());
    } else {
        datagram[*position * 17 % datagram.size()] ^= *change;
    }
    return std::pair{datagram, *source % 2 == 0 ? from : std::string("10.0.0.9")};
}

// The name field is a label outside the cryptography: datagrams that differ
// only there are the same datagram.
bool Same(const Bytes& left, const Bytes& right) {
    return left.size() == right.size() && left.size() > kSecureKindOffset &&
           std::equal(left.begin() + 33, left.end(), right.begin() + 33);
}

void Channels(Input input) {
    Pair pair;
    auto first = pair.a.Initiate("b");
    Check(first.has_value());
    Bytes genuine = first->datagram;
    bool toB = true;
    std::optional<SessionIndex> indexB;
    for (int message = 0; message < 3; ++message) {
        const std::string from = toB ? "a" : "b";
        for (int forged = input.Next().value_or(0) % 6; forged > 0; --forged) {
            const auto mutated = Mutate(genuine, input, from);
            if (!mutated) {
                return;
            }
            const auto result = pair.To(toB).OnDatagram(mutated->second, mutated->first);
            Check(result.opened.empty());
            Check(!result.up || (message == 2 && Same(mutated->first, genuine) && !indexB));
            if (result.up) {
                indexB = result.up->index;
            }
            pair.CheckCaps();
        }
        const auto result = pair.To(toB).OnDatagram(from, genuine);
        Check(!result.up || (message == 2 && !indexB));
        if (result.up) {
            indexB = result.up->index;
        }
        if (result.send.empty()) {
            return; // forgeries used up the reads or the budget: the handshake may end
        }
        genuine = result.send.front().datagram;
        toB = !toB;
    }
    if (!indexB) {
        return;
    }
    // The confirmation to a, four lines each way, and bundles from a of one
    // and of six entries for b: how many of each were opened.
    const SessionIndex indexA = ParseSecureDatagram(genuine)->receiver;
    struct Genuine {
        Bytes datagram;
        bool toB;
        Bytes plaintext;
        std::size_t entries = 1;
        std::size_t opened = 0;
    };
    std::vector<Genuine> transports{{genuine, false, {}}};
    for (std::uint8_t line = 0; line < 4; ++line) {
        const Bytes text(line + 1u, line);
        transports.push_back({pair.a.Seal(indexA, text)->datagram, true, text});
        transports.push_back({pair.b.Seal(*indexB, text)->datagram, false, text});
    }
    for (const std::size_t entries : {1u, 6u}) {
        const Bytes text(entries, 0x80);
        const std::vector<SessionIndex> indices(entries, indexA);
        transports.push_back(
            {pair.a.SealBundle(indices, text).at(0).datagram, true, text, entries});
    }
    while (const auto which = input.Next()) {
        Genuine& chosen = transports[*which % transports.size()];
        const std::string from = chosen.toB ? "a" : "b";
        std::pair<Bytes, std::string> delivered{chosen.datagram, from};
        if (*which >= 128) {
            const auto mutated = Mutate(chosen.datagram, input, from);
            if (!mutated) {
                return;
            }
            delivered = *mutated;
        }
        pair.now += std::chrono::milliseconds(10);
        const auto result = pair.To(chosen.toB).OnDatagram(delivered.second, delivered.first);
        // A T opens only whole; a bundle's untouched entries open even when another is mutated.
        Check(result.opened.empty() || chosen.entries > 1 ||
              Same(delivered.first, chosen.datagram));
        Check(result.opened.size() <= SecureChannel::kMostBundleOpens &&
              chosen.opened + result.opened.size() <= chosen.entries);
        for (const auto& opened : result.opened) {
            Check(opened.plaintext == chosen.plaintext);
        }
        chosen.opened += result.opened.size();
        pair.CheckCaps();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        Parsers(input);
    } else {
        Channels({input});
    }
    return 0;
}
