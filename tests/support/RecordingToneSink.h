#pragma once

#include "platform/ToneSink.h"

#include <mutex>
#include <ostream>
#include <vector>

namespace kestrane::test {

/// A ToneSink that sounds nothing and records every request it was given, in
/// order. Safe to call from any thread.
class RecordingToneSink : public ToneSink {
public:
    void Play(std::vector<Tone> tones) override;

    /// Every request so far, oldest first.
    std::vector<std::vector<Tone>> Requests() const;
    void Clear();

private:
    mutable std::mutex mutex;
    std::vector<std::vector<Tone>> requests; // guarded by mutex
};

} // namespace kestrane::test

namespace kestrane {

/// Lets GoogleTest print tones as "300 Hz/100 ms".
void PrintTo(const Tone& tone, std::ostream* out);

} // namespace kestrane
