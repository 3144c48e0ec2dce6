#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// The name a copy gives itself on the wire, made from the resolver's canonical
/// name: a to z upper-cased, every other byte unchanged. A name that would not
/// fit the 32-character sender field is shortened to its first label, and cut
/// to 32 characters only if that is still too long, so peers always split the
/// datagram where it was composed.
std::string OwnNameFromCanonical(std::string_view canonicalName);

/// The local host's name as gethostname gives it; empty when that fails.
std::optional<std::string> LocalHostName();

/// The resolver's canonical name for `hostName`, or `hostName` itself when the
/// resolver does not know it. May wait on the network for as long as the
/// resolver takes: never call it on the UI thread. Thread-safe.
std::string CanonicalNameOf(const std::string& hostName);

} // namespace kestrane
