#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kestrane {

/// `bytes` bytes from the kernel's random source (getrandom) as 2 × `bytes`
/// lower-case hex digits; nothing when the kernel gives none. Thread-safe.
std::optional<std::string> RandomHex(std::size_t bytes);

} // namespace kestrane
