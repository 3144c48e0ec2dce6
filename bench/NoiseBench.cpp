// The security layer's costs, both sides in one thread:
//   Handshake   one whole Noise XX handshake: both sides' states made, the
//               three messages (empty payloads) written and read, both
//               transports split off; static keys made beforehand
//   SealOpen    a 100-byte line sealed into a datagram and opened
//   StreamSeal  1 MiB sealed into stream frames (bytes/s: one core's ceiling
//               for an encrypted file sent)
//   StreamOpen  the same frames opened, read in 256 KiB pieces
//   kestrane_noise_bench           the full run
//   kestrane_noise_bench --short   a quick run that only checks it works
#include "bench/ShortRun.h"
#include "security/NoiseHandshake.h"
#include "security/NoiseTransport.h"
#include "security/StreamHandshake.h"

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

// Both halves of a stream whose handshake went through.
std::pair<kestrane::StreamHandshake::Transport, kestrane::StreamHandshake::Transport> StreamPair() {
    const KeyPair initiatorKey = *KeyPair::Generate();
    const KeyPair responderKey = *KeyPair::Generate();
    kestrane::StreamHandshake initiator(NoiseRole::Initiator, initiatorKey, {});
    kestrane::StreamHandshake responder(NoiseRole::Responder, responderKey, {});
    const Bytes third = *initiator.Feed(*responder.Feed(initiator.Start()));
    responder.Feed(third);
    return {std::move(*initiator.Split()), std::move(*responder.Split())};
}

constexpr std::size_t kStreamChunk = 1 << 20;
constexpr std::size_t kStreamRead = 256 << 10;

void StreamSeal(benchmark::State& state) {
    auto [sending, receiving] = StreamPair();
    const Bytes chunk(kStreamChunk, 'x');
    Bytes frames;
    frames.reserve(kestrane::FrameSealer::FramedSize(kStreamChunk));
    for (auto _ : state) {
        frames.clear();
        if (!sending.sealer.Seal(chunk, frames)) {
            state.SkipWithError("sealing failed");
            break;
        }
        benchmark::DoNotOptimize(frames.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamChunk));
}

void StreamOpen(benchmark::State& state) {
    auto [sending, receiving] = StreamPair();
    const Bytes chunk(kStreamChunk, 'x');
    Bytes frames;
    Bytes opened;
    opened.reserve(kStreamChunk);
    for (auto _ : state) {
        state.PauseTiming();
        frames.clear();
        sending.sealer.Seal(chunk, frames);
        opened.clear();
        state.ResumeTiming();
        for (std::size_t at = 0; at < frames.size(); at += kStreamRead) {
            if (!receiving.opener.Open(
                    std::span(frames).subspan(at, std::min(kStreamRead, frames.size() - at)),
                    opened)) {
                state.SkipWithError("a frame did not open");
                return;
            }
        }
        benchmark::DoNotOptimize(opened.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamChunk));
}

BENCHMARK(Handshake)->Unit(benchmark::kMicrosecond);
BENCHMARK(SealOpen)->Unit(benchmark::kMicrosecond);
BENCHMARK(StreamSeal)->Unit(benchmark::kMicrosecond);
BENCHMARK(StreamOpen)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return kestrane::bench::RunBenchmarks(argc, argv);
}
