#pragma once

namespace kestrane {

/// Whether lines to everybody go only, sealed, to the Kestrane hosts whose key
/// is known, so that no line to everybody is ever sent in the clear; off by
/// default, since hosts of the original program then see none of them. Kept in
/// the program's settings (QSettings "kestrane"/"kestrane", key
/// privacy/everybodyOnlyKestrane). Any thread that may use QSettings.
class EverybodySetting {
public:
    static bool OnlyKestrane();
    static void SetOnlyKestrane(bool only);
};

} // namespace kestrane
