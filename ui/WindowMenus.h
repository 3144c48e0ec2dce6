#pragma once

#include <QKeySequence>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QWidget;

namespace kestrane {

class AlertSettings;
class CloseChoice;

/// The items the main window's menus share (its own context menu, the log's,
/// and the tray icon's): Read unread lines, Conversations..., Mute, Do not
/// disturb, Network...,
/// About, and what the close button does; and the tray icon's menu, which
/// leads with the unread lines and ends with Quit. Owns the tray's menu and
/// the close choice, no window. UI thread only.
class WindowMenus {
public:
    /// The shortcut that opens the unread lines from the main window.
    static inline const QKeySequence kReadUnreadKey{QKeySequence(Qt::CTRL | Qt::Key_U)};
    /// The shortcut that opens the conversations from the main window.
    static inline const QKeySequence kConversationsKey{QKeySequence(Qt::CTRL | Qt::Key_K)};

    struct Items {
        /// Opens the newest unseen line.
        std::function<void()> readUnread;
        /// Opens the newest queued line, seen or not.
        std::function<void()> readQueued;
        /// Opens the Conversations window.
        std::function<void()> conversations;
        std::function<void()> network;
        /// False while the Network view cannot be had (the network has not started).
        std::function<bool()> networkReady;
        std::function<void()> about;
        /// Shows the main window, as a left click on the tray icon does.
        std::function<void()> open;
        /// Ends the program, as the close button does without a tray.
        std::function<void()> quit;
    };

    WindowMenus(AlertSettings& alerts, Items items);
    ~WindowMenus();
    WindowMenus(const WindowMenus&) = delete;
    WindowMenus& operator=(const WindowMenus&) = delete;

    /// Adds the shared items to `menu`, after a separator.
    void AddItems(QMenu& menu) const;
    /// The tray icon's menu: a StatusNotifierItem panel opens it itself.
    QMenu& TrayMenu() { return *trayMenu; }
    /// Opens the tray icon's menu at the pointer.
    void ShowTrayMenu();
    /// The tray menu's first item follows what waits: `unread` lines not
    /// seen, `queued` lines not dealt with.
    void ShowWaiting(int unread, int queued);
    CloseChoice& CloseButton() { return *closeChoice; }

private:
    void MakeTrayMenu();

    AlertSettings& alerts;
    Items items;
    std::unique_ptr<CloseChoice> closeChoice;
    std::unique_ptr<QMenu> trayMenu;
    QAction* readAction = nullptr;    // the tray menu's first item
    QAction* networkAction = nullptr; // the tray menu's
    int unreadShown = 0;
};

} // namespace kestrane
