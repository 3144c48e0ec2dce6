#pragma once

#include "platform/ToneSink.h"
#include "ui/TrayIcon.h"

#include <mutex>
#include <ostream>
#include <vector>

namespace kestrane {
inline void PrintTo(const Tone& tone, std::ostream* out) {
    *out << tone.frequency << " Hz/" << tone.milliseconds << " ms";
}
} // namespace kestrane

namespace kestrane::test {

/// Sounds nothing; records every request, oldest first. Safe from any thread.
class RecordingToneSink : public ToneSink {
public:
    void Play(std::vector<Tone> tones) override {
        std::lock_guard guard(mutex);
        requests.push_back(std::move(tones));
    }
    std::vector<std::vector<Tone>> Requests() const {
        std::lock_guard guard(mutex);
        return requests;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::vector<Tone>> requests; // guarded by mutex
};

/// A notification area that is there or not as the test decides (offscreen
/// has none).
class FakeTray : public TrayIcon {
public:
    bool IsAvailable() const override { return available; }
    bool UsesStatusNotifier() const override { return statusNotifier; }
    bool available = true;
    bool statusNotifier = false;
};

inline const std::vector<Tone> kChime{{300, 100}, {500, 100}, {800, 100}};

} // namespace kestrane::test
