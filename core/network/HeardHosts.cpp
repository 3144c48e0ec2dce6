#include "core/network/HeardHosts.h"

#include <algorithm>

namespace kestrane {

void HeardHosts::Note(std::string_view name, std::string_view address, Clock::time_point now) {
    auto found = std::find_if(hosts.begin(), hosts.end(), [&](const Host& host) {
        return host.name == name && host.address == address;
    });
    Host noted;
    if (found != hosts.end()) {
        noted = std::move(*found);
        hosts.erase(found);
    } else {
        if (hosts.size() >= kMostHosts) {
            hosts.erase(hosts.begin());
        }
        noted.name.assign(name);
        noted.address.assign(address);
    }
    noted.lastHeard = now;
    ++noted.datagrams;
    hosts.push_back(std::move(noted));
}

std::vector<HeardHosts::Host> HeardHosts::All() const {
    return {hosts.rbegin(), hosts.rend()};
}

std::optional<HeardHosts::Clock::time_point> HeardHosts::LastHeard() const {
    if (hosts.empty()) {
        return std::nullopt;
    }
    return hosts.back().lastHeard;
}

} // namespace kestrane
