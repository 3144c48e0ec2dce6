#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// What a second start hands the running copy over the single-instance lock's
/// socket when the desktop gave it an activation token: the copy comes forward
/// with that token, so that a Wayland compositor lets its window take the focus.
///
///     request  "FORWARD" TAB token LF       token: 1 to kMostTokenBytes bytes,
///                                           each a visible ASCII character
///
/// There is no reply: the copy reads the line and ends the call. A start
/// without a token sends nothing at all (a plain call), as before.
struct ComeForwardRequest {
    static constexpr std::string_view kVerb = "FORWARD\t";
    static constexpr std::size_t kMostTokenBytes = 255;

    std::string activationToken;

    /// The request in `line` (its bytes up to and including the first LF), or
    /// nothing when it is not a well-formed one. Takes any bytes.
    static std::optional<ComeForwardRequest> Parse(std::string_view line);
    /// The request line for `activationToken`, LF included, or "" when the
    /// token is empty or not well-formed: the caller then makes a plain call.
    std::string Compose() const;
};

} // namespace kestrane
