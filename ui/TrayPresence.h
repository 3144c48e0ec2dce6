#pragma once

#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>

class QDialog;

namespace kestrane {

class MessageQueue;
class ToneSink;
class TrayIcon;
class UnreadLines;

/// Where the main window is for the person: on the screen, or hidden behind
/// the notification-area icon (minimized on a desktop without one); the
/// icon's blinking, the chime and the title's count, which tell of what waits
/// unseen (UnreadLines decides which lines) and of offers that came while
/// hidden; and what clicks on the icon do. Does not own the window, the icon,
/// the tones, the queue or the unread lines. UI thread only.
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
        /// A right click on the icon found nothing to read: the icon's menu.
        std::function<void()> showMenu = [] {};
    };

    /// Starts the ticks: the first puts the window in the tray.
    TrayPresence(QDialog& window, TrayIcon& tray, ToneSink& tones, MessageQueue& queue,
                 UnreadLines& unread, Hooks hooks);
    TrayPresence(const TrayPresence&) = delete;
    TrayPresence& operator=(const TrayPresence&) = delete;

    /// The window starts behind the icon without being shown.
    void StartBehindIcon() { hidden = true; }
    /// The window stays up after its first show instead of going to the tray.
    void StartOnScreen() { hideOnFirstTick = false; }
    /// The network has started: the icon is added, and the window leaves the
    /// screen unless the first tick has passed.
    void OnNetworkStarted();
    /// The window is being destroyed: no more ticks, the icon goes.
    void Stop();
    /// A line came, seen at once when `looking`: while hidden it chimes, and
    /// the icon blinks while it is unseen.
    void NoteLine(bool looking);
    /// Offers came while hidden: a chime, and the icon blinks until the window is back.
    void NoteOffer();
    /// What is unread changed: the flag, the title, the tip and the blinking follow.
    void ShowUnread();
    /// The title names the copy: "Kestrane (2 unread) — PC7".
    void ShowOwnName(const QString& name);
    void HideToTray();
    /// Shows the window as a left click on the icon does.
    void ComeForward();
    void OnTimer();
    /// The window became the active one: the person sees what came.
    void OnWindowActivated();
    /// From the keyboard or a menu: opens the message dialog on the newest
    /// unseen line, or says there is none (to a screen reader too).
    void ReadUnreadLines();
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
    bool offerPending = false; // offers came while hidden, and the window was not back since

    /// Ticks every 500 ms from construction until the first tick has put the
    /// window in the tray, then only while the icon blinks.
    QTimer timer;

private:
    void OnTrayLeftClick();
    void OnTrayRightClick();
    /// Without a notification area: the user restored the minimized window.
    void OnRestored();
    /// Shows the queued line at `index` in the message dialog; when the user is
    /// done with it, the lines it did not show stay unread.
    void ReadLineAt(int index);
    /// The person has the window before them: the log's lines and the offers are seen.
    void SeeIfLooking();
    void ShowOnScreen();
    void BringToFront();

    QDialog& window;
    TrayIcon& tray;
    ToneSink& tones;
    MessageQueue& queue;
    UnreadLines& unread;
    Hooks hooks;
    bool stopped = false;
    QString ownName;              // in the title, once known
    bool readingMessages = false; // the message dialog is open or about to open
};

} // namespace kestrane
