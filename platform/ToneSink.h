#pragma once

#include <vector>

namespace kestrane {

struct Tone {
    int frequency = 0;    // Hz
    int milliseconds = 0; // duration

    friend bool operator==(const Tone&, const Tone&) = default;
};

/// Plays tones without making the caller wait. The window layer depends on this
/// interface, so tests can record what would have sounded.
class ToneSink {
public:
    virtual ~ToneSink() = default;

    /// Queues `tones` to sound in order, as one stream, and returns at once.
    /// Safe to call from any thread.
    virtual void Play(std::vector<Tone> tones) = 0;
};

} // namespace kestrane
