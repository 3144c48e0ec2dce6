#pragma once

#include <QByteArray>
#include <QString>

namespace kestrane {

/// The D-Bus activation file through which the session bus starts the program
/// for an automation client: "[D-BUS Service]", the bus name and the command.
/// These are the program's only persistent traces. UI thread only.
class ActivationFile {
public:
    /// Bus name and file name of the automation class.
    static constexpr const char* kServiceName = "Tavrin.Application";

    /// The file in `$XDG_DATA_HOME/dbus-1/services` (default `~/.local/share`).
    static QString DefaultPath();

    /// The Exec value that starts `programPath` for automation; empty when the
    /// path cannot be written so that the bus reads it back unchanged.
    static QByteArray ExecValue(const QString& programPath);

    /// Writes or refreshes the file at `filePath`: the Exec line is always
    /// rewritten; the section header and the Name line only when missing, so
    /// lines the user changed stay. False, leaving the file as it was, when
    /// the program's path cannot be expressed or the file cannot be written.
    static bool Refresh(const QString& filePath, const QString& programPath);

    /// What Refresh writes over `current` (the file's bytes, empty when new).
    static QByteArray Refreshed(const QByteArray& current, const QByteArray& execValue);
};

} // namespace kestrane
