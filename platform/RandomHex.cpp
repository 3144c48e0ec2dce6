#include "platform/RandomHex.h"

#include <cerrno>
#include <sys/random.h>
#include <vector>

namespace kestrane {

std::optional<std::string> RandomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    std::size_t filled = 0;
    while (filled < bytes) {
        const ssize_t count = ::getrandom(random.data() + filled, bytes - filled, 0);
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
        } else if (count < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes);
    for (const unsigned char byte : random) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

} // namespace kestrane
