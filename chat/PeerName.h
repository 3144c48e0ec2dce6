#pragma once

#include <string>
#include <string_view>

namespace kestrane {

/// True when two host names are the same name, letter case aside (ASCII).
/// Whole names only: PC1 and PC10 are different hosts.
bool IsSamePeerName(std::string_view first, std::string_view second);

/// The form in which IsSamePeerName compares names: ASCII letters in lower
/// case, every other byte unchanged. Two names are the same host exactly when
/// their keys are equal.
std::string PeerNameKey(std::string_view name);

/// True when `name` may enter the roster: not empty and not this copy's own
/// name (an exact, case-sensitive comparison).
bool MayListPeer(std::string_view name, std::string_view ownName);

/// The roster's order: letter case aside, symbols before digits before letters,
/// so "<< Broadcast >>" always sorts before every host name.
bool PeerNameLess(std::string_view first, std::string_view second);

} // namespace kestrane
