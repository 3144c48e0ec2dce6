#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrane {

/// The user whose socket holds the local UDP `port` in this network namespace,
/// as the kernel lists it in /proc/net/udp; nothing when no socket holds it or
/// the list cannot be read. Thread-safe.
std::optional<uid_t> UdpPortOwner(int port);

/// The login name of `uid`, or its number when it has none. Thread-safe.
std::string UserName(uid_t uid);

} // namespace kestrane
