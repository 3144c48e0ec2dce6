#include "security/ReplayWindow.h"

#include <limits>

namespace kestrane {

namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

} // namespace

bool ReplayWindow::Seen(std::uint64_t counter) const {
    const std::uint64_t bit = counter % kSize;
    return (seen[bit / kWordBits] >> (bit % kWordBits)) & 1U;
}

bool ReplayWindow::Fresh(std::uint64_t counter) const {
    if (counter == kNever) {
        return false;
    }
    if (counter >= end) {
        return true;
    }
    return end - counter <= kSize && !Seen(counter);
}

void ReplayWindow::Accept(std::uint64_t counter) {
    if (!Fresh(counter)) {
        return;
    }
    if (counter >= end) {
        // The counters skipped over take ring slots that older counters had.
        if (counter - end >= kSize) {
            seen.fill(0);
        } else {
            for (std::uint64_t skipped = end; skipped < counter; ++skipped) {
                const std::uint64_t bit = skipped % kSize;
                seen[bit / kWordBits] &= ~(std::uint64_t{1} << (bit % kWordBits));
            }
        }
        end = counter + 1;
    }
    const std::uint64_t bit = counter % kSize;
    seen[bit / kWordBits] |= std::uint64_t{1} << (bit % kWordBits);
}

} // namespace kestrane
