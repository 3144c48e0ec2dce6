#pragma once

#include "core/identity/KnownKeys.h"

#include <QString>

namespace kestrane {

/// KnownKeys kept in kFileName in the data folder (mode 0600, its folder
/// 0700), apart from the history so that its retention never forgets a key.
/// The file is text: the line kHeader, then one line a key,
///     STATE KEY FIRST LAST NAME
/// separated by single spaces: STATE is trusted, verified, new or blocked;
/// KEY the 32-byte public key as 64 lower-case hexadecimal digits; FIRST and
/// LAST when it was first and last heard, in Unix seconds; NAME the host's
/// name as it came on the wire, in lower-case hexadecimal. Each line ends in
/// a line feed. At most kMostBytes are read; a file that says anything else
/// is damaged, moved aside (never deleted) and told of. Any thread.
class KnownKeysFile {
public:
    static constexpr const char* kFileName = "known-keys";
    static constexpr const char* kHeader = "Kestrane known keys 1";
    static constexpr qint64 kMostBytes = qint64{4} << 20;

    struct Loaded {
        KnownKeys keys;
        /// A sentence for the person when the file was damaged; empty otherwise.
        QString note;
    };

    /// The keys kept in `folder`; none for a missing file or an empty folder.
    static Loaded Load(const QString& folder);
    /// Keeps `keys` in `folder`: the reason it failed, or an empty text.
    static QString Save(const QString& folder, const KnownKeys& keys);
};

} // namespace kestrane
