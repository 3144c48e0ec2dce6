#pragma once

#include "security/KeyPair.h"

#include <string>

class QWidget;

namespace kestrane {

class PeerKeys;

/// Opens the comparison of codes between this copy's key and `key`, heard
/// under `host` (wire bytes), over `parent`, and carries out the person's
/// answer: a match verifies the key (accepting it first when `newKey`), a
/// difference blocks it. Returns at once; the dialog deletes itself. Does not
/// own the keys. UI thread only.
class KeyComparison {
public:
    static void Open(QWidget& parent, PeerKeys& keys, const KeyPair& own, const std::string& host,
                     const PublicKey& key, bool newKey);
};

} // namespace kestrane
