#include "files/OfferToken.h"

#include "platform/RandomHex.h"

#include <cstddef>

namespace kestrane {
namespace {

constexpr std::size_t kRandomBytes = 16;

} // namespace

std::optional<std::string> OfferToken::Make() {
    return RandomHex(kRandomBytes);
}

bool OfferToken::IsToken(std::string_view text) {
    if (text.size() != 2 * kRandomBytes) {
        return false;
    }
    for (const char digit : text) {
        if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool OfferToken::Matches(std::string_view expected, std::string_view presented) {
    if (!IsToken(expected) || !IsToken(presented)) {
        return false;
    }
    unsigned difference = 0;
    for (std::size_t at = 0; at < expected.size(); ++at) {
        difference |= static_cast<unsigned>(expected[at] ^ presented[at]);
    }
    return difference == 0;
}

} // namespace kestrane
