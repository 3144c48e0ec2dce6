#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace kestrane {

/// A small file only its user may read, in the data folder: written whole or
/// not at all, read with a bound, moved aside (never deleted) when damaged.
/// Any thread.
class PrivateFile {
public:
    /// Up to `most` bytes of the file at `path` (one more when it is longer),
    /// narrowed to mode 0600 first when others could read it; nothing when it
    /// does not exist or cannot be read.
    static std::optional<QByteArray> Read(const QString& path, qint64 most);
    /// Writes `text` as `name` in `folder` (made with mode 0700 when missing):
    /// a new file of mode 0600, flushed, then renamed over the old one. The
    /// reason it failed, or an empty text.
    static QString Write(const QString& folder, const QString& name, const QByteArray& text);
    /// Renames a damaged file to PATH.damaged-YYYYMMDD-HHMMSS; that name, or
    /// nothing when it cannot be moved.
    static std::optional<QString> MoveAside(const QString& path);
};

} // namespace kestrane
