#pragma once

#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>

class QDialog;

namespace kestrane {

class MessageQueue;
class ToneSink;
class TrayIcon;

/// Where the main window is for the person: on the screen, or hidden behind
/// the notification-area icon (minimized on a desktop without one); whether
/// lines wait unread, which the icon's blinking, the chime and the title's
/// count tell; and what clicks on the icon do. Does not own the window, the
/// icon, the tones or the queue. UI thread only.
class TrayPresence {
public:
    /// What the clicks reach beyond the window.
    struct Hooks {
        /// Shows the queue's entry at `current` in the message dialog and
        /// returns when the person is done with it.
        std::function<void()> readLines;
        /// Offers of files wait for the person.
        std::function<bool()> offersWaiting;
        /// Shows the offers.
        std::function<void()> showOffers;
    };

    /// Starts the ticks: the first puts the window in the tray.
    TrayPresence(QDialog& window, TrayIcon& tray, ToneSink& tones, MessageQueue& queue,
                 Hooks hooks);
    TrayPresence(const TrayPresence&) = delete;
    TrayPresence& operator=(const TrayPresence&) = delete;

    /// The network has started: the icon is added, and the window leaves the
    /// screen unless the first tick has passed.
    void OnNetworkStarted();
    /// The window is being destroyed: no more ticks, the icon goes.
    void Stop();
    /// Something came for the person (a line when `line`, else an offer): while
    /// hidden it chimes and the icon blinks; a line counts as unread.
    void NoteUnread(bool line);
    /// Lines left unread when the program last ended are queued again: the
    /// icon blinks for them, without a chime.
    void NoteRestored(int lines);
    void HideToTray();
    /// Shows the window as a left click on the icon does.
    void ComeForward();
    void OnTimer();
    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    /// The window was minimized or restored; `byUser` when the window system did it.
    void OnWindowStateChange(bool byUser);
    /// Takes the window off the screen: hidden behind the tray icon, or
    /// minimized on a desktop without a notification area.
    void LeaveScreen();

    // Notification-area state, in the order of the design.
    bool hidden = false;
    bool unreadPending = false;
    bool trayIconAdded = false;
    bool hideOnFirstTick = true;
    bool restoredUnread = false; // restored lines stay unread when the first tick hides the window

    /// Ticks every 500 ms from construction until the first tick has put the
    /// window in the tray, then only while the icon blinks.
    QTimer timer;

private:
    void OnTrayLeftClick();
    void OnTrayRightClick();
    /// Without a notification area: the user restored the minimized window.
    void OnRestored();
    /// Shows the newest queued line in the message dialog; when the user is
    /// done with it, the lines it did not show (they came meanwhile) stay unread.
    void ReadNewestLine();
    /// The user has seen what came: no unread line, the title says so.
    void SetAllRead();
    /// The title counts the lines that came since the user last looked.
    void ShowUnreadCount();
    void ShowOnScreen();
    void BringToFront();

    QDialog& window;
    TrayIcon& tray;
    ToneSink& tones;
    MessageQueue& queue;
    Hooks hooks;
    bool stopped = false;
    int unreadCount = 0;          // lines queued since the user last looked
    bool readingMessages = false; // the message dialog is open or about to open
};

} // namespace kestrane
