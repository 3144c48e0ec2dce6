#pragma once

#include <vector>

namespace kestrane {

/// The kernel's news of links and IPv4 addresses (a NETLINK_ROUTE socket in
/// the link and IPv4 address groups), for a caller that polls its descriptor.
/// Owns the socket. Not thread-safe: one thread drains it.
class AddressWatch {
public:
    AddressWatch();
    ~AddressWatch();
    AddressWatch(const AddressWatch&) = delete;
    AddressWatch& operator=(const AddressWatch&) = delete;

    /// -1 when the socket could not be made: changes then go unnoticed.
    int Descriptor() const { return descriptor; }

    struct News {
        bool changed = false;            // something was heard, or news were lost
        std::vector<unsigned> addressOn; // interfaces that were given an address
    };
    /// Reads whatever waits, without blocking.
    News Drain();

private:
    int descriptor = -1;
};

} // namespace kestrane
