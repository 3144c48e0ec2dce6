#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrane {

inline constexpr std::size_t kSha256Size = 32;

/// SHA-256 of `bytes` in one call (libsodium). Pure, any thread.
std::array<std::uint8_t, kSha256Size> Sha256Of(std::span<const std::uint8_t> bytes);
/// The same digest of `bytes`, as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view bytes);

} // namespace kestrane
