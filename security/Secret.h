#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrane {

/// 32 bytes of key material that are wiped when destroyed (sodium_memzero,
/// which the compiler cannot drop). Copies are independent and wipe their own
/// bytes. One thread at a time.
class Secret32 {
public:
    static constexpr std::size_t kSize = 32;

    Secret32() = default;
    explicit Secret32(std::span<const std::uint8_t, kSize> bytes);
    Secret32(const Secret32& other) = default;
    Secret32& operator=(const Secret32& other) = default;
    ~Secret32();

    std::uint8_t* Data() { return bytes.data(); }
    const std::uint8_t* Data() const { return bytes.data(); }
    std::span<const std::uint8_t, kSize> View() const { return bytes; }

private:
    std::array<std::uint8_t, kSize> bytes{};
};

} // namespace kestrane
