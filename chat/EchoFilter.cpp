#include "chat/EchoFilter.h"

#include <functional>

namespace kestrane {

bool EchoFilter::IsCopy(std::string_view bytes, std::string_view address,
                        std::chrono::steady_clock::time_point now) {
    if (address.empty()) {
        return false; // without an address there is no telling copies apart
    }
    const std::size_t digest = std::hash<std::string_view>{}(bytes);
    for (const Seen& earlier : seen) {
        if (earlier.digest == digest && earlier.length == bytes.size() &&
            earlier.address != address && !earlier.address.empty() && now - earlier.at < kWindow) {
            return true;
        }
    }
    Seen& slot = seen[next];
    next = (next + 1) % kSlots;
    slot.digest = digest;
    slot.length = bytes.size();
    slot.address.assign(address);
    slot.at = now;
    return false;
}

} // namespace kestrane
