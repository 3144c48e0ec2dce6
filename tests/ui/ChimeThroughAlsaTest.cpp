#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <numbers>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Wave {
    int sampleRate = 0;
    std::vector<std::int16_t> samples; // mono
};

std::uint32_t Little(const std::vector<char>& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int index = width - 1; index >= 0; --index) {
        value =
            (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(index)]);
    }
    return value;
}

// Reads a mono 16-bit WAV; the data chunk runs to the end of the file, since
// its length may not be filled in.
Wave ReadWave(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    Wave wave;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id(&bytes[at], 4);
        const std::uint32_t size = Little(bytes, at + 4, 4);
        if (id == "fmt ") {
            EXPECT_EQ(Little(bytes, at + 10, 2), 1U) << "channels";
            EXPECT_EQ(Little(bytes, at + 22, 2), 16U) << "bits";
            wave.sampleRate = static_cast<int>(Little(bytes, at + 12, 4));
        } else if (id == "data") {
            for (std::size_t sample = at + 8; sample + 2 <= bytes.size(); sample += 2) {
                wave.samples.push_back(static_cast<std::int16_t>(Little(bytes, sample, 2)));
            }
            break;
        }
        at += 8 + size;
    }
    return wave;
}

// Power of `frequency` in samples [first, first + count) (Goertzel).
double Power(const Wave& wave, std::size_t first, std::size_t count, double frequency) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / wave.sampleRate);
    double previous = 0;
    double beforePrevious = 0;
    for (std::size_t index = first; index < first + count; ++index) {
        const double current = wave.samples[index] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious -
           coefficient * previous * beforePrevious;
}

int RunProbe(const fs::path& home, const fs::path& wave, std::size_t bytes) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", home.c_str(), 1);
        execl(KESTRANE_CHIME_PROBE, KESTRANE_CHIME_PROBE, wave.c_str(),
              std::to_string(bytes).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ChimeThroughAlsaTest, HiddenWindowPlaysThreeRisingTonesInOneStream) {
    const fs::path home =
        fs::temp_directory_path() / ("kestrane-chime-" + std::to_string(getpid()));
    fs::create_directories(home);
    const fs::path wave = home / "out.wav";
    std::ofstream(home / ".asoundrc") << "pcm.!default { type file slave.pcm \"null\" file \""
                                      << wave.string() << "\" format \"wav\" }\n";

    constexpr std::size_t kChimeBytes = 44 + 2 * 48000 * 3 / 10;
    ASSERT_EQ(RunProbe(home, wave, kChimeBytes), 0);
    const Wave sound = ReadWave(wave);
    fs::remove_all(home);

    ASSERT_GT(sound.sampleRate, 0);
    const auto slice = static_cast<std::size_t>(sound.sampleRate / 10);
    ASSERT_GE(sound.samples.size(), 3 * slice);
    EXPECT_LE(sound.samples.size(), 3 * slice + slice / 10) << "one chime, no more";
    const double frequencies[] = {300, 500, 800};
    for (std::size_t tone = 0; tone < 3; ++tone) {
        // The middle of each 100 ms slice, away from any ramp at its edges.
        const std::size_t first = tone * slice + slice / 4;
        const std::size_t count = slice / 2;
        const double expected = Power(sound, first, count, frequencies[tone]);
        for (std::size_t other = 0; other < 3; ++other) {
            if (other != tone) {
                EXPECT_GT(expected, 100 * Power(sound, first, count, frequencies[other]))
                    << "slice " << tone << " against " << frequencies[other] << " Hz";
            }
        }
    }
}

} // namespace
