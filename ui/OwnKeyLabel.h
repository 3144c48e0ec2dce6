#pragma once

#include <QString>

class QLabel;

namespace kestrane {

class KeyPair;

/// The line that shows this copy's key as a short code people compare
/// ("This computer's key: ABCD EFGH IJKL MNOP"), selectable to copy.
class OwnKeyLabel {
public:
    /// A label for `keys`; its parent owns it once it is placed.
    static QLabel* Make(const KeyPair& keys);
    static QString Text(const KeyPair& keys);
};

} // namespace kestrane
