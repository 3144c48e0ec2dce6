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
        /// The person asked for no tones.
        std::function<bool()> muted = [] { return false; };
        /// The person saw the lines that came: every line when `all`, else
        /// those the message dialog showed.
        std::function<void(bool all)> linesRead = [](bool) {};
        /// A right click on the icon found nothing to read: the icon's menu.
        std::function<void()> showMenu = [] {};
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
    /// The window became the active one: the person sees what came.
    void OnWindowActivated();
    /// From the keyboard: opens the message dialog on the newest unread line
    /// (the newest line when all were seen). False when no line is queued or
    /// the dialog is open already.
    bool ReadUnreadLines();
    /// Opens the message dialog on the queue's entry at `index`, as the right
    /// click does on the newest; false when the dialog is open already.
    bool ReadLine(int index);
    /// Whether the person has the window in front of them: shown, active, and
    /// no message dialog over it.
    bool Looking() const;
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
    /// Shows the queued line at `index` in the message dialog; when the user is
    /// done with it, the lines it did not show (they came meanwhile) stay unread.
    void ReadLineAt(int index);
    /// The user has seen what came: no unread line, the title says so.
    void SetAllRead();
    /// The title and the icon's tip count the lines that came since the user last looked.
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
