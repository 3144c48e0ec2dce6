#pragma once

#include "security/KeyPair.h"

#include <string>

namespace kestrane {

/// Short codes of static public keys for people to read out and compare. They
/// prove nothing by themselves: they only let two people check that each
/// copy holds the key the other one has.

/// The fingerprint of one key: the first 80 bits of
///     SHA-256("Kestrane fingerprint v1" || key)
/// (the label's 23 ASCII bytes with no terminator, then the key's 32 bytes),
/// written in RFC 4648 base32 (A-Z, 2-7, no padding) as 4 groups of 4
/// characters joined by spaces: "ABCD EFGH IJKL MNOP".
std::string Fingerprint(const PublicKey& key);

/// The safety code of two keys, the same whichever side computes it: with
/// the keys in ascending byte order (memcmp) as low and high,
///     digest = SHA-256("Kestrane safety code v1" || low || high)
/// (the label's 23 ASCII bytes, no terminator), the first 8 bytes of digest
/// read as a big-endian number modulo 10^12, written as 12 decimal digits
/// (leading zeros kept) in 3 groups of 4 joined by spaces: "0123 4567 8901".
std::string SafetyCode(const PublicKey& first, const PublicKey& second);

} // namespace kestrane
