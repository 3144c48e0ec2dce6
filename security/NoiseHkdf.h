#pragma once

#include "security/Secret.h"

#include <cstdint>
#include <span>
#include <utility>

namespace kestrane {

/// HKDF(chaining_key, input_key_material, 2) of the Noise framework (revision
/// 34, section 4.3) with HMAC-SHA256: temp_key = HMAC(chaining_key, ikm),
/// output1 = HMAC(temp_key, 0x01), output2 = HMAC(temp_key, output1 || 0x02).
/// These are the first 64 bytes of RFC 5869's HKDF-SHA256 with the chaining
/// key as salt and no info.
std::pair<Secret32, Secret32> NoiseHkdf(std::span<const std::uint8_t> chainingKey,
                                        std::span<const std::uint8_t> inputKeyMaterial);

} // namespace kestrane
