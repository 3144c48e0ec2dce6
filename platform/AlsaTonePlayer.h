#pragma once

#include "platform/ToneSink.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrane {

/// The real ToneSink: plays each request as one stream of sine tones on
/// ALSA's "default" PCM, in order, on a sound thread of its own. While one
/// request sounds at most one more waits; later ones are dropped, so a flood
/// of requests never holds up a caller. Without a sound device every request
/// ends at once and nothing is reported. Owns its sound thread.
class AlsaTonePlayer : public ToneSink {
public:
    /// Sounds one request as one stream, returning when it has played or soon
    /// after `stopping` turns true (it is notified then, so a writer may wait on
    /// it). Runs on the sound thread.
    using StreamWriter =
        std::function<void(const std::vector<Tone>& tones, const std::atomic<bool>& stopping)>;

    /// Samples per second, mono S16_LE: every whole-millisecond tone is a
    /// whole number of samples.
    static constexpr int sampleRate = 48000;

    /// Plays through WriteToDefaultDevice. Call on any thread.
    AlsaTonePlayer();
    /// Plays through `streamWriter` instead (a seam for tests). Call on any thread.
    explicit AlsaTonePlayer(StreamWriter streamWriter);
    /// Drops waiting requests, asks the sounding one to stop and joins the
    /// sound thread. Call on any thread but the sound thread.
    ~AlsaTonePlayer() override;
    AlsaTonePlayer(const AlsaTonePlayer&) = delete;
    AlsaTonePlayer& operator=(const AlsaTonePlayer&) = delete;

    /// Queues `tones` unless two requests are already sounding or waiting, in
    /// which case they are dropped, as is an empty request. Never blocks on the device.
    /// Safe to call from any thread.
    void Play(std::vector<Tone> tones) override;

    /// Opens the "default" PCM once and plays `tones` back to back with no
    /// gaps, then drains it; aborts early when `stopping` turns true. A
    /// frequency outside 1 .. sampleRate/2 - 1 Hz sounds as silence. Returns
    /// false when the device cannot be opened or fails, or on an early stop;
    /// ALSA prints nothing.
    /// Blocks the calling thread while the stream sounds.
    static bool WriteToDefaultDevice(const std::vector<Tone>& tones,
                                     const std::atomic<bool>& stopping);

private:
    void Run();

    StreamWriter writer;
    std::mutex mutex;
    std::condition_variable wakeUp;
    std::deque<std::vector<Tone>> waiting; // guarded by mutex
    bool sounding = false;                 // guarded by mutex
    std::atomic<bool> stopping{false};     // set under mutex, read by the writer without it
    std::thread soundThread;               // last, so it starts after the members it uses
};

} // namespace kestrane
