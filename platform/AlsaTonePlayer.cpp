#include "platform/AlsaTonePlayer.h"

#include "platform/OnDemandLibrary.h"

#include <algorithm>
#include <alsa/asoundlib.h>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <utility>

namespace kestrane {

namespace {

// A request that sounds while another sounds and one waits is dropped.
constexpr std::size_t maximumRequests = 2;

constexpr double amplitude = 0.3 * 32767;
constexpr std::int64_t samplesPerMillisecond = AlsaTonePlayer::sampleRate / 1000;
// Fades at the start and end of a stream keep the speaker from clicking.
constexpr std::int64_t fadeSamples = 2 * samplesPerMillisecond;
// Chunks written at a time: the stop flag is looked at between chunks.
constexpr std::size_t chunkSamples = 10 * samplesPerMillisecond;
constexpr unsigned latencyMicroseconds = 100'000;

/// Produces the samples of a run of tones, chunk by chunk, so that a long
/// request never needs a buffer of its own size.
class ToneSamples {
public:
    explicit ToneSamples(const std::vector<Tone>& run) : tones(run) {
        for (const Tone& tone : run) {
            total += Length(tone);
        }
    }

    /// Fills `chunk` from the front; returns how many samples it wrote, 0 at the end.
    std::size_t Fill(std::array<std::int16_t, chunkSamples>& chunk) {
        std::size_t written = 0;
        while (written < chunk.size() && NextTone()) {
            chunk[written++] = Sample(tones[toneIndex].frequency);
            ++sampleInTone;
            ++position;
        }
        return written;
    }

private:
    static std::int64_t Length(const Tone& tone) {
        return std::max(tone.milliseconds, 0) * samplesPerMillisecond;
    }

    bool NextTone() {
        while (toneIndex < tones.size() && sampleInTone >= Length(tones[toneIndex])) {
            ++toneIndex;
            sampleInTone = 0;
        }
        return toneIndex < tones.size();
    }

    // The phase is kept in whole 1/sampleRate cycles, so it is exact and
    // carries on unbroken from one tone into the next.
    std::int16_t Sample(int frequency) {
        if (frequency <= 0 || frequency >= AlsaTonePlayer::sampleRate / 2) {
            return 0;
        }
        double angle = 2 * std::numbers::pi * phase / AlsaTonePlayer::sampleRate;
        phase = (phase + frequency) % AlsaTonePlayer::sampleRate;
        return static_cast<std::int16_t>(std::lround(amplitude * Fade() * std::sin(angle)));
    }

    double Fade() const {
        std::int64_t edge = std::min(position, total - 1 - position);
        if (edge >= fadeSamples) {
            return 1.0;
        }
        return 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(edge) / fadeSamples);
    }

    const std::vector<Tone>& tones;
    std::int64_t total = 0;
    std::int64_t position = 0;
    std::size_t toneIndex = 0;
    std::int64_t sampleInTone = 0;
    int phase = 0;
};

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// The functions of ALSA that a chime calls.
struct Alsa {
    decltype(&snd_lib_error_set_handler) setErrorHandler;
    decltype(&snd_pcm_open) open;
    decltype(&snd_pcm_nonblock) nonblock;
    decltype(&snd_pcm_set_params) setParams;
    decltype(&snd_pcm_writei) write;
    decltype(&snd_pcm_recover) recover;
    decltype(&snd_pcm_drain) drain;
    decltype(&snd_pcm_drop) drop;
    decltype(&snd_pcm_close) close;
    bool loaded;
};

// ALSA is opened at the first chime rather than linked, which would cost every
// copy its relocations at start. Without it, as without a sound device, chimes
// are silent. ALSA prints its errors to stderr unless a handler takes them; the
// handler is process-wide, and nothing of ours wants ALSA's messages.
const Alsa& LoadAlsa() {
    static const Alsa alsa = [] {
        OnDemandLibrary library("libasound.so.2");
        Alsa found{};
        library.Find("snd_lib_error_set_handler", found.setErrorHandler);
        library.Find("snd_pcm_open", found.open);
        library.Find("snd_pcm_nonblock", found.nonblock);
        library.Find("snd_pcm_set_params", found.setParams);
        library.Find("snd_pcm_writei", found.write);
        library.Find("snd_pcm_recover", found.recover);
        library.Find("snd_pcm_drain", found.drain);
        library.Find("snd_pcm_drop", found.drop);
        library.Find("snd_pcm_close", found.close);
        found.loaded = library.Complete();
        if (found.loaded) {
            found.setErrorHandler(IgnoreAlsaError);
        }
        return found;
    }();
    return alsa;
}

bool WriteChunk(const Alsa& alsa, snd_pcm_t* pcm, const std::int16_t* samples, std::size_t count) {
    while (count > 0) {
        snd_pcm_sframes_t written = alsa.write(pcm, samples, count);
        if (written < 0) {
            // Recovers from an underrun, a suspend or EINTR; anything else ends the stream.
            if (alsa.recover(pcm, static_cast<int>(written), 1) < 0) {
                return false;
            }
            continue;
        }
        samples += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool WriteStream(const Alsa& alsa, snd_pcm_t* pcm, const std::vector<Tone>& tones,
                 const std::atomic<bool>& stopping) {
    ToneSamples source(tones);
    std::array<std::int16_t, chunkSamples> chunk{};
    while (!stopping) {
        std::size_t count = source.Fill(chunk);
        if (count == 0) {
            return true;
        }
        if (!WriteChunk(alsa, pcm, chunk.data(), count)) {
            return false;
        }
    }
    return false;
}

} // namespace

AlsaTonePlayer::AlsaTonePlayer()
    : AlsaTonePlayer([](const std::vector<Tone>& tones, const std::atomic<bool>& stop) {
          WriteToDefaultDevice(tones, stop);
      }) {}

AlsaTonePlayer::AlsaTonePlayer(StreamWriter streamWriter)
    : writer(std::move(streamWriter)), soundThread([this] { Run(); }) {}

AlsaTonePlayer::~AlsaTonePlayer() {
    {
        std::lock_guard guard(mutex);
        stopping = true;
        waiting.clear();
    }
    stopping.notify_all();
    wakeUp.notify_all();
    soundThread.join();
}

void AlsaTonePlayer::Play(std::vector<Tone> tones) {
    {
        std::lock_guard guard(mutex);
        if (tones.empty() || stopping || waiting.size() + (sounding ? 1 : 0) >= maximumRequests) {
            return;
        }
        waiting.push_back(std::move(tones));
    }
    wakeUp.notify_one();
}

void AlsaTonePlayer::Run() {
    std::unique_lock guard(mutex);
    while (true) {
        wakeUp.wait(guard, [this] { return stopping || !waiting.empty(); });
        if (stopping) {
            return;
        }
        std::vector<Tone> tones = std::move(waiting.front());
        waiting.pop_front();
        sounding = true;
        guard.unlock();
        writer(tones, stopping);
        guard.lock();
        sounding = false;
    }
}

bool AlsaTonePlayer::WriteToDefaultDevice(const std::vector<Tone>& tones,
                                          const std::atomic<bool>& stopping) {
    const Alsa& alsa = LoadAlsa();
    snd_pcm_t* pcm = nullptr;
    // Opened non-blocking so that a device held by another program fails at
    // once instead of waiting for it; writes then block to pace the stream.
    if (!alsa.loaded || alsa.open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return false;
    }
    bool played = alsa.nonblock(pcm, 0) == 0 &&
                  alsa.setParams(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                 sampleRate, 1, latencyMicroseconds) == 0 &&
                  WriteStream(alsa, pcm, tones, stopping);
    if (played) {
        alsa.drain(pcm);
    } else {
        alsa.drop(pcm);
    }
    alsa.close(pcm);
    return played;
}

} // namespace kestrane
