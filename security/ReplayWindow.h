#pragma once

#include <array>
#include <cstdint>

namespace kestrane {

/// Which transport counters a receiver has accepted, so that a datagram that
/// is replayed or duplicated is refused while one that is merely late is not
/// (the sliding window of RFC 6479 and WireGuard, a bit per counter). A
/// counter is fresh when it is above every accepted one, or within the
/// kSize counters ending at the highest accepted and not accepted yet; older
/// ones are refused. One thread at a time.
class ReplayWindow {
public:
    static constexpr std::uint64_t kSize = 1024;

    /// Whether `counter` may be accepted. 2^64-1, which Noise never uses as a
    /// nonce, never is.
    bool Fresh(std::uint64_t counter) const;
    /// Records `counter` as accepted. Only for a Fresh() counter whose
    /// datagram authenticated: a forged one must not use up its counter.
    void Accept(std::uint64_t counter);

private:
    bool Seen(std::uint64_t counter) const;

    static constexpr std::uint64_t kWordBits = 64;
    // Bit counter % kSize of the ring tells whether that counter, within the window, was accepted.
    std::array<std::uint64_t, kSize / kWordBits> seen{};
    // One past the highest counter accepted; 0 while none was.
    std::uint64_t end = 0;
};

} // namespace kestrane
