#include "security/Secret.h"

#include <algorithm>
#include <sodium.h>

namespace kestrane {

Secret32::Secret32(std::span<const std::uint8_t, kSize> from) {
    std::copy(from.begin(), from.end(), bytes.begin());
}

Secret32::~Secret32() {
    sodium_memzero(bytes.data(), bytes.size());
}

} // namespace kestrane
