#include "tests/support/RecordingToneSink.h"

#include <utility>

namespace kestrane::test {

void RecordingToneSink::Play(std::vector<Tone> tones) {
    std::lock_guard guard(mutex);
    requests.push_back(std::move(tones));
}

std::vector<std::vector<Tone>> RecordingToneSink::Requests() const {
    std::lock_guard guard(mutex);
    return requests;
}

void RecordingToneSink::Clear() {
    std::lock_guard guard(mutex);
    requests.clear();
}

} // namespace kestrane::test

namespace kestrane {

void PrintTo(const Tone& tone, std::ostream* out) {
    *out << tone.frequency << " Hz/" << tone.milliseconds << " ms";
}

} // namespace kestrane
