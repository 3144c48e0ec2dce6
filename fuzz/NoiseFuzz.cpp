// What a hostile peer can send the security layer, against genuine traffic
// made with fixed keys, so the fuzzer explores near what authenticates. The
// first byte picks the target:
//   0-2  handshake message 1, 2 or 3, read by its receiver: the genuine
//        message XOR the rest of the input (bytes past its end extend it),
//        less as many bytes at its end as the second byte says; message 1
//        (not encrypted) must be read exactly when it holds a key, the others
//        exactly when they are genuine, and a failure ends the handshake
//   3    transport datagrams, three input bytes each: which of the genuine
//        datagrams (counters 0-7, 1000-1007, 3000-3007), a position and a
//        byte to XOR there; a datagram must open exactly when it is genuine
//        and its counter is fresh by a plain model of the window
//   4    the replay window alone against that model, two bytes per counter
//        as a signed step from the highest counter so far
#include "security/NoiseHandshake.h"
#include "security/NoiseTransport.h"
#include "security/ReplayWindow.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
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

// Whether a counter is fresh: never accepted, and not below the highest
// accepted by the window's size or more.
struct WindowModel {
    std::set<std::uint64_t> accepted;
    bool Fresh(std::uint64_t counter) const {
        return counter != UINT64_MAX && !accepted.contains(counter) &&
               (accepted.empty() || counter + ReplayWindow::kSize > *accepted.rbegin());
    }
};

void Handshake(std::size_t target, std::span<const std::uint8_t> input) {
    const Bytes prologue{'f', 'u', 'z', 'z'};
    NoiseHandshake initiator(NoiseRole::Initiator, Key(1), prologue, Key(3));
    NoiseHandshake responder(NoiseRole::Responder, Key(2), prologue, Key(4));
    for (std::size_t index = 0; index <= target; ++index) {
        NoiseHandshake& writer = index % 2 == 0 ? initiator : responder;
        NoiseHandshake& reader = index % 2 == 0 ? responder : initiator;
        const Bytes genuine = *writer.WriteMessage(Bytes(index * 7, 'p'));
        if (index < target) {
            Check(reader.ReadMessage(genuine).has_value());
            continue;
        }
        const std::size_t cut = input.empty() ? 0 : input[0];
        const auto mask = input.empty() ? input : input.subspan(1);
        Bytes message = genuine;
        message.resize(std::max(message.size(), mask.size()));
        for (std::size_t i = 0; i < mask.size(); ++i) {
            message[i] ^= mask[i];
        }
        message.resize(message.size() - std::min(cut, message.size()));
        const bool read = reader.ReadMessage(message).has_value();
        Check(read == (target == 0 ? message.size() >= KeyPair::kKeySize : message == genuine));
        Check(read || (reader.Failed() && reader.Finished() && !reader.Split()));
    }
}

void Transport(std::span<const std::uint8_t> input) {
    NoiseCipherState keyed;
    keyed.InitializeKey(Key(5).Private());
    std::vector<std::pair<std::uint64_t, Bytes>> genuine;
    for (const std::uint64_t first : {0, 1000, 3000}) {
        NoiseCipherState sending = keyed;
        sending.SetNonce(first);
        NoiseTransport sender(sending, NoiseCipherState{});
        for (std::uint64_t counter = first; counter < first + 8; ++counter) {
            genuine.emplace_back(counter, *sender.Seal(Bytes(counter % 5, 'd')));
        }
    }
    NoiseTransport receiver(NoiseCipherState{}, keyed);
    WindowModel model;
    for (std::size_t at = 0; at + 3 <= input.size(); at += 3) {
        const auto& [counter, datagram] = genuine[input[at] % genuine.size()];
        Bytes sent = datagram;
        sent[input[at + 1] % sent.size()] ^= input[at + 2];
        const bool opens = receiver.Open(sent).has_value();
        Check(opens == (input[at + 2] == 0 && model.Fresh(counter)));
        if (opens) {
            model.accepted.insert(counter);
        }
    }
}

void Window(std::span<const std::uint8_t> input) {
    ReplayWindow window;
    WindowModel model;
    std::uint64_t highest = 1 << 20;
    for (std::size_t at = 0; at + 2 <= input.size(); at += 2) {
        const auto step = static_cast<std::int16_t>(input[at] | input[at + 1] << 8);
        const std::uint64_t counter = highest + static_cast<std::uint64_t>(std::int64_t{step});
        Check(window.Fresh(counter) == model.Fresh(counter));
        if (model.Fresh(counter)) {
            window.Accept(counter);
            model.accepted.insert(counter);
            highest = std::max(highest, counter);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    switch (data[0] % 5) {
    case 3:
        Transport(input);
        break;
    case 4:
        Window(input);
        break;
    default:
        Handshake(data[0] % 5, input);
        break;
    }
    return 0;
}
