#include "platform/AlsaTonePlayer.h"

#include "tests/platform/ChildProcess.h"
#include "tests/support/RecordingToneSink.h" // prints tones

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <mutex>
#include <numbers>
#include <optional>
#include <stdlib.h>
#include <vector>

namespace kestrane {
namespace {

const std::vector<Tone> chime{{300, 100}, {500, 100}, {800, 100}};

/// A stream writer that records each request and holds the first one it gets
/// until the gate opens.
class GatedWriter {
public:
    AlsaTonePlayer::StreamWriter Writer() {
        return [this](const std::vector<Tone>& tones, const std::atomic<bool>&) {
            std::unique_lock guard(mutex);
            written.push_back(tones);
            changed.notify_all();
            changed.wait(guard, [this] { return open; });
        };
    }

    void Open() {
        std::lock_guard guard(mutex);
        open = true;
        changed.notify_all();
    }

    /// Waits (a generous bound, against a hang) until `count` requests were written.
    std::vector<std::vector<Tone>> WaitFor(std::size_t count) {
        std::unique_lock guard(mutex);
        changed.wait_for(guard, std::chrono::seconds(10), [&] { return written.size() >= count; });
        return written;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<Tone>> written; // guarded by mutex
    bool open = false;                      // guarded by mutex
};

TEST(AlsaTonePlayer, PlaysWholeRequestsInOrder) {
    GatedWriter writer;
    writer.Open();
    AlsaTonePlayer player(writer.Writer());
    player.Play(chime);
    player.Play({{500, 100}});
    EXPECT_EQ(writer.WaitFor(2), (std::vector<std::vector<Tone>>{chime, {{500, 100}}}));
}

TEST(AlsaTonePlayer, FloodSoundsTheCurrentAndOneWaitingRequest) {
    GatedWriter writer;
    AlsaTonePlayer player(writer.Writer());
    for (int frequency = 1; frequency <= 100; ++frequency) {
        player.Play({{frequency, 100}});
    }
    writer.Open();
    writer.WaitFor(2);
    // Requests play in order, so a third one kept from the flood would come first.
    player.Play({{999, 100}});
    std::vector<std::vector<Tone>> expected{{{1, 100}}, {{2, 100}}, {{999, 100}}};
    EXPECT_EQ(writer.WaitFor(3), expected);
}

TEST(AlsaTonePlayer, DestructionDropsTheWaitingRequestAndStopsTheSoundingOne) {
    std::mutex mutex;
    std::condition_variable started;
    std::vector<std::vector<Tone>> written; // guarded by mutex
    {
        AlsaTonePlayer player(
            [&](const std::vector<Tone>& tones, const std::atomic<bool>& stopping) {
                {
                    std::lock_guard guard(mutex);
                    written.push_back(tones);
                }
                started.notify_all();
                stopping.wait(false); // sounds until the player stops it
            });
        player.Play({{300, 100}});
        player.Play({{500, 100}});
        std::unique_lock guard(mutex);
        started.wait(guard, [&] { return !written.empty(); });
    }
    EXPECT_EQ(written, (std::vector<std::vector<Tone>>{{{300, 100}}}));
}

/// A HOME of its own holding an .asoundrc, removed with everything in it.
class TemporaryHome {
public:
    explicit TemporaryHome(const std::string& asoundrc) {
        std::string pattern = ::testing::TempDir() + "kestrane-tones-XXXXXX";
        path = ::mkdtemp(pattern.data());
        std::ofstream(path / ".asoundrc") << asoundrc;
    }
    ~TemporaryHome() { std::filesystem::remove_all(path); }

    std::filesystem::path path;
};

test::ChildProcess::Result PlayInProbe(const TemporaryHome& home,
                                       const std::vector<std::string>& tones) {
    std::vector<std::string> arguments{KESTRANE_PLATFORM_PROBE, "tones"};
    arguments.insert(arguments.end(), tones.begin(), tones.end());
    return test::ChildProcess(arguments, test::EnvironmentWithHome(home.path)).Finish();
}

struct Wave {
    int format = 0;
    int channels = 0;
    int rate = 0;
    int bits = 0;
    std::vector<std::int16_t> samples;
};

std::uint32_t Little(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// Reads the format and the data chunk; a data size past the end of the file
// (left by a writer that never rewrote its header) stands for "up to the end".
Wave ReadWave(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(file), {}};
    Wave wave;
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        return wave;
    }
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        std::string id = bytes.substr(at, 4);
        std::size_t size = std::min<std::size_t>(Little(bytes, at + 4, 4), bytes.size() - at - 8);
        if (id == "fmt " && size >= 16) {
            wave.format = static_cast<int>(Little(bytes, at + 8, 2));
            wave.channels = static_cast<int>(Little(bytes, at + 10, 2));
            wave.rate = static_cast<int>(Little(bytes, at + 12, 4));
            wave.bits = static_cast<int>(Little(bytes, at + 22, 2));
        } else if (id == "data") {
            for (std::size_t i = 0; i + 1 < size; i += 2) {
                wave.samples.push_back(static_cast<std::int16_t>(Little(bytes, at + 8 + i, 2)));
            }
        }
        at += 8 + size + size % 2;
    }
    return wave;
}

double Goertzel(const std::int16_t* samples, std::size_t count, double frequency) {
    double coefficient =
        2 * std::cos(2 * std::numbers::pi * frequency / AlsaTonePlayer::sampleRate);
    double previous = 0, beforePrevious = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double current = samples[i] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious -
           coefficient * previous * beforePrevious;
}

// The strongest frequency from 100 to 2000 Hz, to 5 Hz.
int DominantFrequency(const std::int16_t* samples, std::size_t count) {
    int best = 0;
    double bestPower = -1;
    for (int frequency = 100; frequency <= 2000; frequency += 5) {
        double power = Goertzel(samples, count, frequency);
        if (power > bestPower) {
            best = frequency;
            bestPower = power;
        }
    }
    return best;
}

TEST(AlsaTonePlayer, ChimeSoundsAsOneGaplessStreamOfExactTones) {
    TemporaryHome home("");
    std::filesystem::path capture = home.path / "out.wav";
    std::ofstream(home.path / ".asoundrc")
        << "pcm.!default { type file slave.pcm \"null\" file \"" << capture.string()
        << "\" format \"wav\" truncate false }\n";

    test::ChildProcess::Result result = PlayInProbe(home, {"300:100", "500:100", "800:100"});
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.output, "played\n");
    EXPECT_EQ(result.errors, "");
    // Without truncation every opening of the device writes a file of its own.
    EXPECT_FALSE(std::filesystem::exists(capture.string() + ".0001"));

    Wave wave = ReadWave(capture);
    EXPECT_EQ(wave.format, 1);
    EXPECT_EQ(wave.channels, 1);
    EXPECT_EQ(wave.bits, 16);
    ASSERT_EQ(wave.rate, AlsaTonePlayer::sampleRate);
    const std::size_t perTone = AlsaTonePlayer::sampleRate / 10;
    ASSERT_EQ(wave.samples.size(), 3 * perTone);
    for (std::size_t i = 0; i < chime.size(); ++i) {
        EXPECT_EQ(DominantFrequency(&wave.samples[i * perTone], perTone), chime[i].frequency)
            << "tone " << i;
    }
    // Every millisecond but the faded edges carries sound: no gap between tones.
    const std::size_t window = AlsaTonePlayer::sampleRate / 1000;
    for (std::size_t at = 3 * window; at + 3 * window <= wave.samples.size(); at += window) {
        int loudest = 0;
        for (std::size_t i = at; i < at + window; ++i) {
            loudest = std::max(loudest, std::abs(static_cast<int>(wave.samples[i])));
        }
        ASSERT_GT(loudest, 4000) << "silence at sample " << at;
    }
}

TEST(AlsaTonePlayer, WithoutASoundDeviceEndsAtOnceAndPrintsNothing) {
    // A card name that no machine has: ALSA fails at once and would say why on stderr.
    TemporaryHome home("pcm.!default { type hw card \"KestraneNoSuchCard\" }\n");
    test::ChildProcess::Result result = PlayInProbe(home, {"500:100"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "no device\n");
    EXPECT_EQ(result.errors, "");
}

} // namespace
} // namespace kestrane
