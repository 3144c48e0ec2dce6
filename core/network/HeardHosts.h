#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

/// Who this copy heard, from which address and when, for the Network view.
/// At most kMostHosts entries; a full table forgets the host heard from least
/// recently. UI thread only.
class HeardHosts {
public:
    static constexpr std::size_t kMostHosts = 256;
    using Clock = std::chrono::system_clock;

    struct Host {
        std::string name; // as it came, bytes from the network
        std::string address;
        Clock::time_point lastHeard{};
        std::uint64_t datagrams = 0;
    };

    void Note(std::string_view name, std::string_view address,
              Clock::time_point now = Clock::now());
    /// Newest first.
    std::vector<Host> All() const;
    /// When any host was last heard; empty before the first.
    std::optional<Clock::time_point> LastHeard() const;

private:
    std::vector<Host> hosts; // newest last
};

} // namespace kestrane
