// The security layer's costs, both sides in one thread:
//   Handshake   one whole Noise XX handshake: both sides' states made, the
//               three messages (empty payloads) written and read, both
//               transports split off; static keys made beforehand
//   SealOpen    a 100-byte line sealed into a datagram and opened
//   kestrane_noise_bench           the full run
//   kestrane_noise_bench --short   a quick run that only checks it works
#include "bench/ShortRun.h"
#include "security/NoiseHandshake.h"
#include "security/NoiseTransport.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using kestrane::KeyPair;
using kestrane::NoiseHandshake;
using kestrane::NoiseRole;
using kestrane::NoiseTransport;
using Bytes = std::vector<std::uint8_t>;

void Handshake(benchmark::State& state) {
    const KeyPair initiatorKey = *KeyPair::Generate();
    const KeyPair responderKey = *KeyPair::Generate();
    const Bytes prologue{'K'};
    for (auto _ : state) {
        NoiseHandshake initiator(NoiseRole::Initiator, initiatorKey, prologue);
        NoiseHandshake responder(NoiseRole::Responder, responderKey, prologue);
        responder.ReadMessage(*initiator.WriteMessage({}));
        initiator.ReadMessage(*responder.WriteMessage({}));
        responder.ReadMessage(*initiator.WriteMessage({}));
        auto initiatorTransport = NoiseTransport::After(initiator);
        auto responderTransport = NoiseTransport::After(responder);
        if (!initiatorTransport || !responderTransport) {
            state.SkipWithError("the handshake failed");
            break;
        }
        benchmark::DoNotOptimize(initiatorTransport);
        benchmark::DoNotOptimize(responderTransport);
    }
}

void SealOpen(benchmark::State& state) {
    const KeyPair initiatorKey = *KeyPair::Generate();
    const KeyPair responderKey = *KeyPair::Generate();
    NoiseHandshake initiator(NoiseRole::Initiator, initiatorKey, {});
    NoiseHandshake responder(NoiseRole::Responder, responderKey, {});
    responder.ReadMessage(*initiator.WriteMessage({}));
    initiator.ReadMessage(*responder.WriteMessage({}));
    responder.ReadMessage(*initiator.WriteMessage({}));
    auto sender = *NoiseTransport::After(initiator);
    auto receiver = *NoiseTransport::After(responder);
    const Bytes line(100, 'x');
    for (auto _ : state) {
        const auto opened = receiver.Open(*sender.Seal(line));
        if (!opened) {
            state.SkipWithError("a datagram did not open");
            break;
        }
        benchmark::DoNotOptimize(opened->data());
    }
}

BENCHMARK(Handshake)->Unit(benchmark::kMicrosecond);
BENCHMARK(SealOpen)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return kestrane::bench::RunBenchmarks(argc, argv);
}
