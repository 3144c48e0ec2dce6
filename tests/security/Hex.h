#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane::test {

/// Lower-case hex of bytes, and back; a digit that is not hex reads as 0.
inline std::string ToHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
    const auto nibble = [](char digit) {
        return digit >= '0' && digit <= '9'   ? digit - '0'
               : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
               : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                              : 0;
    };
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return bytes;
}

} // namespace kestrane::test
