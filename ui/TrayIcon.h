#pragma once

#include <QDeadlineTimer>
#include <QSystemTrayIcon>
#include <optional>

class QMenu;

namespace kestrane {

/// The icon's id in the notification area.
inline constexpr int TRAY_ICON_ID = 1006;
/// The tip of the icon: the product's display name.
inline constexpr const char* TRAY_TIP = "Kestrane";

enum class TrayOperation { Add, Modify, Delete };

/// The program's one notification-area icon over QSystemTrayIcon. An XEmbed
/// tray's right click reaches the program as `Context`; a StatusNotifierItem
/// panel opens the icon's menu itself, so there the icon has one.
/// Remembers what it shows, so tests can observe it without a tray.
/// UI thread only.
class TrayIcon {
public:
    TrayIcon();
    virtual ~TrayIcon() = default;
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    /// Whether the desktop has a notification area, as it was within the last
    /// second. Overridden in tests.
    virtual bool IsAvailable() const;
    /// Whether the icon goes to a StatusNotifierItem panel, which opens the
    /// icon's menu on a right click; asked of the session bus once, as Qt
    /// does. Overridden in tests.
    virtual bool UsesStatusNotifier() const;
    /// The menu a StatusNotifierItem panel opens; none elsewhere. Not owned.
    void SetStatusNotifierMenu(QMenu* menu);

    /// Adds, changes or removes the icon with `iconId` (0: none) and `tip`
    /// (null: none; cut to 63 characters). A change or removal of an icon
    /// that is not there fails and changes nothing.
    bool Notify(TrayOperation operation, int id, int iconId, const char* tip);

    /// What waits, told by the tip after its text: `lines` unread lines, the
    /// newest from `newestSender` (a name from the network, shown as plain
    /// text). No lines: the tip alone.
    void ShowWaiting(int lines, const QString& newestSender);
    /// The tip on show.
    QString ToolTip() const { return icon.toolTip(); }

    /// Its `activated` signal carries the clicks.
    QSystemTrayIcon& Icon() { return icon; }
    bool IsAdded() const { return added; }
    /// The icon id on show, 0 when the icon is not there.
    int ShownIconId() const { return shownIconId; }

    /// Blink phase: the last TrayBlink showed the normal icon. Only TrayBlink uses it.
    bool blinkNormalShown = false;

private:
    QSystemTrayIcon icon;
    mutable bool available = false;
    mutable QDeadlineTimer availabilityKnown; // expired: ask Qt again
    mutable std::optional<bool> statusNotifier;
    void ShowTip();

    bool added = false;
    int shownIconId = 0;
    QString tipText;     // as the last change gave it
    QString waitingText; // what waits, after the tip
};

/// The free operations on the icon, by the names the rest of the program uses.
bool TrayNotify(TrayIcon& tray, TrayOperation operation, int id, int iconId, const char* tip);
/// Adds icon 128 with the tip.
void TrayAdd(TrayIcon& tray);
/// Shows icon 128 steadily; leaves the blink phase alone.
void TraySetNormal(TrayIcon& tray);
/// Shows the other icon of the blink pair: 128, then 134, then 128, ...
void TrayBlink(TrayIcon& tray);
/// Removes the icon.
void TrayRemove(TrayIcon& tray);

} // namespace kestrane
