#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// The secret that names one offer on the wire: 128 random bits as 32
/// lower-case hex digits. Whoever knows it may fetch the offer's files (from
/// the address it was offered to only), so it comes from the kernel's random
/// source and is compared in constant time.
class OfferToken {
public:
    /// Nothing when the kernel gives no random bytes.
    static std::optional<std::string> Make();
    static bool IsToken(std::string_view text);
    /// Whether `presented` is `expected`, in time that depends on neither.
    static bool Matches(std::string_view expected, std::string_view presented);
};

} // namespace kestrane
