#include "platform/AlsaTonePlayer.h"

#include "tests/support/Fakes.h"

#include <alsa/asoundlib.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;

TEST(AlsaTonePlayer, WhileOneRequestSoundsOneMoreWaitsAndLaterOnesAreDropped) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> sounded; // the first frequency of each request; guarded by mutex
    std::size_t ended = 0;    // requests the test let end; guarded by mutex
    const auto soundedReaches = [&](std::size_t count) {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, 5s, [&] { return sounded.size() >= count; });
    };
    const auto endOne = [&] {
        std::lock_guard guard(mutex);
        ++ended;
        changed.notify_all();
    };
    AlsaTonePlayer player([&](const std::vector<Tone>& tones, const std::atomic<bool>&) {
        std::unique_lock guard(mutex);
        sounded.push_back(tones.front().frequency);
        changed.notify_all();
        changed.wait_for(guard, 5s, [&] { return ended >= sounded.size(); });
    });
    player.Play({{1, 100}});
    ASSERT_TRUE(soundedReaches(1));
    for (int frequency = 2; frequency <= 9; ++frequency) {
        player.Play({{frequency, 100}});
    }
    endOne();
    ASSERT_TRUE(soundedReaches(2));
    player.Play({{999, 100}}); // sounds next, so nothing from 3 to 9 still waits
    endOne();
    ASSERT_TRUE(soundedReaches(3));
    endOne();
    std::lock_guard guard(mutex);
    EXPECT_EQ(sounded, (std::vector<int>{1, 2, 999}));
}

// The chime through ALSA's file plugin, set up in an .asoundrc of a HOME of the
// test's own. ALSA reads that file once per process, so its configuration is
// dropped before the chime and again after it.
TEST(AlsaTonePlayer, ChimeSoundsItsFrequenciesInOneStream) {
    const auto home =
        std::filesystem::temp_directory_path() / ("kestrane-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
    std::ofstream(home / ".asoundrc") << "pcm.!default { type file slave.pcm \"null\" file \""
                                      << (home / "chime.raw").string() << "\" format \"raw\" }\n";
    const char* ownHome = std::getenv("HOME");
    const std::string savedHome = ownHome != nullptr ? ownHome : "/";
    setenv("HOME", home.c_str(), 1);
    snd_config_update_free_global();
    std::atomic<bool> stopping{false};
    const bool played = AlsaTonePlayer::WriteToDefaultDevice(kChime, stopping);
    setenv("HOME", savedHome.c_str(), 1);
    snd_config_update_free_global();
    ASSERT_TRUE(played);

    std::vector<std::int16_t> samples(std::filesystem::file_size(home / "chime.raw") / 2);
    std::ifstream(home / "chime.raw", std::ios::binary)
        .read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2));
    std::filesystem::remove_all(home);
    const std::size_t perTone = AlsaTonePlayer::sampleRate / 10; // the chime's tones are 100 ms
    ASSERT_EQ(samples.size(), kChime.size() * perTone);
    for (std::size_t tone = 0; tone < kChime.size(); ++tone) {
        int rises = 0; // upward zero crossings: one a period
        for (std::size_t at = tone * perTone + 1; at < (tone + 1) * perTone; ++at) {
            rises += samples[at - 1] < 0 && samples[at] >= 0;
        }
        EXPECT_NEAR(rises * 10, kChime[tone].frequency, 20) << "tone " << tone;
    }
}

} // namespace
} // namespace kestrane::test
