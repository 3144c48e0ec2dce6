#pragma once

#include <QKeySequence>
#include <functional>

class QMenu;
class QWidget;

namespace kestrane {

class AlertSettings;

/// The items the main window's menus share (its own context menu, the log's,
/// and the tray icon's): Read unread lines, Mute, Do not disturb, Network...
/// and About. Owns no window. UI thread only.
class WindowMenus {
public:
    /// The shortcut that opens the unread lines from the main window.
    static inline const QKeySequence kReadUnreadKey{QKeySequence(Qt::CTRL | Qt::Key_U)};

    struct Items {
        std::function<void()> readUnread;
        std::function<void()> network;
        /// False while the Network view cannot be had (the network has not started).
        std::function<bool()> networkReady;
        std::function<void()> about;
        /// Shows the main window, as a left click on the tray icon does.
        std::function<void()> open;
    };

    WindowMenus(AlertSettings& alerts, Items items);

    /// Adds the shared items to `menu`, after a separator.
    void AddItems(QMenu& menu) const;
    /// The tray icon's menu, at the pointer; `parent` holds it while it is open.
    void ShowTrayMenu(QWidget& parent) const;

private:
    AlertSettings& alerts;
    Items items;
};

} // namespace kestrane
