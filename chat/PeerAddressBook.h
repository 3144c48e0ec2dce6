#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrane {

/// Where each host last spoke from: its name as the roster matches it (whole
/// name, ASCII letter case aside) to the dotted IPv4 address of its latest
/// datagram. Lines to one host go there, so they reach it on a LAN whose
/// resolver does not know the hosts' names. Names are believed as they come:
/// nothing proves who sent a datagram. The main window notes only the hosts
/// its roster lists, so the book is no larger than the roster. UI thread only.
class PeerAddressBook {
public:
    /// Records that `name` spoke from `address`. Returns the address it spoke
    /// from until now when that differs: the name has moved.
    std::optional<std::string> Note(std::string_view name, std::string_view address);
    /// The address `name` last spoke from; empty when it has not been heard from.
    std::optional<std::string> AddressOf(std::string_view name) const;
    void Forget(std::string_view name);

private:
    std::unordered_map<std::string, std::string> addresses;
};

} // namespace kestrane
