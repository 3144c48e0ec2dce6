#include "security/Sodium.h"

#include <sodium.h>

namespace kestrane {

bool SodiumReady() {
    // 1 means another caller started it first: also ready.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool FillRandom(std::span<std::uint8_t> bytes) {
    if (!SodiumReady()) {
        return false;
    }
    randombytes_buf(bytes.data(), bytes.size());
    return true;
}

} // namespace kestrane
