#pragma once

#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// The first IPv4 address that the resolver gives for `host` (a name or a
/// dotted address), in network byte order; empty when it gives none. Dotted
/// text is taken as it stands, without asking the resolver. Thread-safe.
std::optional<in_addr_t> LookUpHostAddress(const char* host);

/// `host` as a name when it resolves, else what inet_addr makes of it
/// (INADDR_NONE, i.e. 255.255.255.255, for text that is neither).
in_addr_t HostAddressOrInetAddr(const char* host);

/// `address` (network byte order) as dotted text.
std::string DottedAddress(in_addr_t address);

/// True when `text` is a dotted IPv4 address.
bool IsDottedAddress(std::string_view text);

} // namespace kestrane
