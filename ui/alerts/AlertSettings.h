#pragma once

#include <QObject>

class QAction;
class QMenu;

namespace kestrane {

/// Whether the person asked for quiet: Mute (no tones) and Do not disturb (no
/// notifications), kept in the settings and offered as two checkable menu
/// items that every menu of the program shares. UI thread only.
class AlertSettings : public QObject {
    Q_OBJECT

public:
    /// Reads the settings.
    explicit AlertSettings(QObject* parent = nullptr);

    bool Muted() const { return muted; }
    bool DoNotDisturb() const { return doNotDisturb; }
    /// Changes and keeps the setting; the menu items follow.
    void SetMuted(bool on);
    void SetDoNotDisturb(bool on);
    /// Reads the settings again: another start of the program may have changed them.
    void Reload();

    /// Adds the two items, after a separator, to `menu`.
    void AddItems(QMenu& menu);

    /// Keeps a setting given on the command line, for this start and the next.
    static void StoreMuted(bool on);
    static void StoreDoNotDisturb(bool on);

private:
    void ShowChecks();

    bool muted = false;
    bool doNotDisturb = false;
    QAction* muteAction;
    QAction* doNotDisturbAction;
};

} // namespace kestrane
