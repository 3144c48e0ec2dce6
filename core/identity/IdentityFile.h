#pragma once

#include "security/KeyPair.h"

#include <QString>
#include <optional>

namespace kestrane {

/// This copy's identity: its long-term X25519 key pair, made at the first
/// start and kept in kFileName in the data folder (the file mode 0600, a
/// folder made for it 0700). Only the public half ever leaves the file. The
/// file is text: the line kHeader, then the private key as 64 hexadecimal
/// digits and a line end; nothing else is read (at most kMostBytes). A file
/// that says anything else is damaged: it is moved aside, never deleted,
/// and a new identity is made, which peers will see as a changed key. Where
/// no file can be kept the identity lasts for the run. Any thread, one call
/// at a time per folder.
class IdentityFile {
public:
    static constexpr const char* kFileName = "identity.key";
    static constexpr const char* kHeader = "Kestrane identity 1";
    static constexpr qint64 kMostBytes = 4096;

    struct Loaded {
        KeyPair keys;
        /// A sentence for the person when the identity is new for a reason
        /// they should know, or cannot be kept; empty otherwise.
        QString note;
    };

    /// The identity kept in `folder` (empty: none is kept), made when there
    /// is none. Nothing only when no key can be made at all.
    static std::optional<Loaded> Load(const QString& folder);

private:
    static std::optional<KeyPair> Read(const QString& path, bool& damaged);
    static QString Keep(const QString& folder, const KeyPair& keys);
};

} // namespace kestrane
