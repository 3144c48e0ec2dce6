#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// How notices reach a host whose key is known: only through the DELIVERY/2
/// session that key proved, never in the clear, so that nobody else on the
/// network can read them or take them. UI thread only.
class SecureRoute {
public:
    virtual ~SecureRoute() = default;

    /// Whether a key is known for `name`: then nothing in the clear speaks for it.
    virtual bool Keyed(const std::string& name) const = 0;
    /// The address of `name`'s live trusted session, if any.
    virtual std::optional<std::string> SessionAddress(const std::string& name) const = 0;
    /// Seals `inner` (an inner notice) on `name`'s trusted session. False when
    /// none lives: a handshake then starts with `address`, where the host was
    /// last heard, and what was to go counts as lost.
    virtual bool Seal(const std::string& name, const std::string& address,
                      std::string_view inner) = 0;
    /// What was sealed to `name` went unanswered: the host may have started
    /// again and lost its end of the session, so a new handshake starts with
    /// the session's address (not more often than a host's hello would start one).
    virtual void Unanswered(const std::string& name) = 0;
};

} // namespace kestrane
