#pragma once

#include <cstdint>
#include <span>

namespace kestrane {

/// Starts libsodium once per process, at the first call from any thread
/// (sodium_init is itself thread-safe and idempotent). Every class of this
/// layer calls it before its first use of the library. False when the library
/// cannot start (no random source): then no key can be made.
bool SodiumReady();

/// Fills `bytes` from libsodium's random source; false (and nothing written)
/// when the library cannot start. Any thread.
bool FillRandom(std::span<std::uint8_t> bytes);

} // namespace kestrane
