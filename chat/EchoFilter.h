#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrane {

/// Tells the second copy of a datagram that reached this host over two
/// networks: a sender on two LANs broadcasts on each, so a host on both (and
/// the sender itself) receives every datagram to everybody twice, from two
/// addresses. Asked only on a host on two networks or more. The same bytes from another address
/// within kWindow are such a copy; the same bytes again from the same address are a new datagram (a
/// person may well say "ok" twice). Remembers the last kSlots receptions only,
/// so a flood costs it nothing. Dispatcher thread only.
class EchoFilter {
public:
    static constexpr std::chrono::milliseconds kWindow{1000};
    static constexpr std::size_t kSlots = 64;

    /// True when this reception is another network's copy of one just taken.
    bool IsCopy(std::string_view bytes, std::string_view address,
                std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

private:
    struct Seen {
        std::size_t digest = 0;
        std::size_t length = 0;
        std::string address;
        std::chrono::steady_clock::time_point at{};
    };
    std::array<Seen, kSlots> seen{};
    std::size_t next = 0;
};

} // namespace kestrane
