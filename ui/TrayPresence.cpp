#include "ui/TrayPresence.h"

#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "platform/ToneSink.h"
#include "res/DialogTemplate.h"
#include "ui/TrayIcon.h"
#include "ui/accessibility/Accessibility.h"

#include <QApplication>
#include <QBackingStore>
#include <QDialog>
#include <utility>
#include <vector>

namespace kestrane {
namespace {

constexpr int kTickMilliseconds = 500;

// The three rising tones of an unread line.
const std::vector<Tone> kChime{{300, 100}, {500, 100}, {800, 100}};

} // namespace

TrayPresence::TrayPresence(QDialog& mainWindow, TrayIcon& trayIcon, ToneSink& toneSink,
                           MessageQueue& messageQueue, UnreadLines& unreadLines, Hooks clickHooks)
    : window(mainWindow), tray(trayIcon), tones(toneSink), queue(messageQueue), unread(unreadLines),
      hooks(std::move(clickHooks)) {
    timer.setInterval(kTickMilliseconds);
    QObject::connect(&timer, &QTimer::timeout, &window, [this] { OnTimer(); });
    timer.start();
    // Queued: a StatusNotifierItem panel's call is answered before a click runs
    // the message dialog's loop, not when the dialog closes.
    QObject::connect(
        &tray.Icon(), &QSystemTrayIcon::activated, &window,
        [this](QSystemTrayIcon::ActivationReason reason) { OnTrayNotify(reason); },
        Qt::QueuedConnection);
}

void TrayPresence::OnNetworkStarted() {
    if (!trayIconAdded) {
        trayIconAdded = true;
        TrayAdd(tray);
    }
    // Hidden once the show that is under way has finished; not HideToTray, so
    // the flags wait for the first tick. After that tick (a slow resolver) the
    // window is where the user put it.
    if (hideOnFirstTick) {
        QMetaObject::invokeMethod(
            &window, [this] { LeaveScreen(); }, Qt::QueuedConnection);
    }
}

void TrayPresence::Stop() {
    stopped = true;
    timer.stop();
    TrayRemove(tray);
}

void TrayPresence::NoteLine(bool looking) {
    if ((hidden || readingMessages) && !hooks.muted()) {
        tones.Play(kChime);
    }
    // The taskbar flashes a minimized window, or one behind others.
    if (!looking && (!hidden || !tray.IsAvailable())) {
        QApplication::alert(&window);
    }
}

void TrayPresence::NoteOffer() {
    if (!hooks.muted()) {
        tones.Play(kChime);
    }
    offerPending = true;
    ShowUnread();
}

void TrayPresence::ShowUnread() {
    const bool wasPending = unreadPending;
    const int count = unread.Count();
    unreadPending = count > 0 || offerPending;
    QString title = QString::fromUtf8(FindDialogTemplate(IDD_TAVRIN_DIALOG)->caption);
    if (count > 0) {
        title += QStringLiteral(" (%1 unread)").arg(count);
    }
    window.setWindowTitle(ownName.isEmpty() ? title : title + QStringLiteral(" \u2014 ") + ownName);
    const int newest = unread.Newest();
    tray.ShowWaiting(count, newest >= 0 ? queue.entries[static_cast<std::size_t>(newest)].sender
                                        : QString());
    if (wasPending && !unreadPending && !readingMessages) {
        TraySetNormal(tray); // a blink may have left the other icon up
    }
    if (hidden && unreadPending && !stopped && !timer.isActive()) {
        timer.start();
    }
}

void TrayPresence::ShowOwnName(const QString& name) {
    // Qt takes "[*]" in a title for the unsaved-changes mark; doubled it shows as itself.
    ownName = QString(name).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    ShowUnread();
}

void TrayPresence::HideToTray() {
    TraySetNormal(tray);
    LeaveScreen();
    hidden = true;
    // What came while the window was up but not looked at stays unread.
    ShowUnread();
}

void TrayPresence::OnTimer() {
    if (hideOnFirstTick) {
        hideOnFirstTick = false;
        HideToTray();
        if (!trayIconAdded) {
            trayIconAdded = true;
            TrayAdd(tray);
        }
    }
    if (hidden && unreadPending) {
        TrayBlink(tray);
    } else if (!hideOnFirstTick) {
        // Idle in the tray: no tick until a line makes the icon blink.
        timer.stop();
    }
}

void TrayPresence::OnWindowActivated() {
    // Not while the start settles: a window manager may focus the window it
    // maps before the program minimizes it, unseen.
    if (!hideOnFirstTick) {
        SeeIfLooking();
    }
}

void TrayPresence::SeeIfLooking() {
    if (Looking()) {
        offerPending = false;
        unread.LogSeen();
        ShowUnread();
    }
}

bool TrayPresence::Looking() const {
    return !hidden && !readingMessages && window.isVisible() && !window.isMinimized() &&
           window.isActiveWindow();
}

void TrayPresence::ReadUnreadLines() {
    if (!ReadLine(unread.Newest())) {
        Accessibility::Announce(window, QStringLiteral("No unread lines"));
    }
}

bool TrayPresence::ReadLine(int index) {
    if (readingMessages || stopped || index < 0 || index >= queue.Size()) {
        return false;
    }
    const bool wasHidden = hidden;
    hidden = false;
    TraySetNormal(tray);
    ReadLineAt(index);
    hidden = wasHidden;
    if (hidden && unreadPending && !stopped) {
        timer.start(); // lines the dialog did not show
    }
    BringToFront();
    return true;
}

void TrayPresence::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    // A StatusNotifierItem panel's secondary action (its middle click) comes as MiddleClick.
    if (reason == QSystemTrayIcon::Trigger) {
        OnTrayLeftClick();
    } else if (reason == QSystemTrayIcon::Context || reason == QSystemTrayIcon::MiddleClick) {
        OnTrayRightClick();
    }
}

void TrayPresence::OnTrayLeftClick() {
    // Offers that came while hidden are the first thing to see.
    const bool offersWait = hooks.offersWaiting();
    if (hidden) {
        ShowOnScreen();
        hidden = false;
    }
    if (offersWait) {
        hooks.showOffers();
    }
    // Last, so the keyboard goes to the window the person asked for.
    BringToFront();
    TraySetNormal(tray);
    offerPending = false;
    // The lines are seen once the window is active (at once when it was).
    SeeIfLooking();
    ShowUnread();
}

void TrayPresence::ComeForward() {
    if (stopped) {
        return;
    }
    // Started moments ago, the window stays up instead of going to the tray.
    hideOnFirstTick = false;
    OnTrayLeftClick();
}

void TrayPresence::OnTrayRightClick() {
    if (!hidden || readingMessages) {
        BringToFront();
        if (!readingMessages) {
            hooks.showMenu();
        }
        return;
    }
    const int count = queue.Size();
    queue.current = count - 1;
    if (count == 0) {
        ShowOnScreen();
        BringToFront();
        hidden = false;
        hooks.showMenu();
        return;
    }
    hidden = false;
    TraySetNormal(tray);
    ReadLineAt(count - 1);
    hidden = true;
    if (unreadPending && !stopped) {
        timer.start(); // lines the dialog did not show
    }
    BringToFront();
}

void TrayPresence::ReadLineAt(int index) {
    readingMessages = true;
    queue.current = index;
    if (!stopped) {
        hooks.readLines();
    }
    readingMessages = false;
    // Back in a window that stayed in front, the person sees its log again.
    SeeIfLooking();
    ShowUnread();
}

void TrayPresence::OnWindowStateChange(bool byUser) {
    // Only a minimize that comes from the window system is the user's: the
    // program's own (LeaveScreen) leaves the flags alone.
    if (window.isMinimized() && !hidden && byUser) {
        HideToTray();
    } else if (!window.isMinimized() && hidden && !tray.IsAvailable()) {
        OnRestored();
    }
}

void TrayPresence::OnRestored() {
    // Without a notification area the taskbar is the way back: restoring the
    // minimized window counts as the left click, and opens the newest unseen
    // line as the right click does, once the restore is done. The log is seen
    // when the dialog is over, not under it.
    const bool unseen = unread.Newest() >= 0 && !readingMessages;
    readingMessages = readingMessages || unseen;
    OnTrayLeftClick();
    if (unseen) {
        QMetaObject::invokeMethod(
            &window,
            [this] {
                const int newest = unread.Newest();
                ReadLineAt(newest >= 0 ? newest : queue.Size() - 1);
            },
            Qt::QueuedConnection);
    }
}

void TrayPresence::LeaveScreen() {
    if (stopped) {
        return;
    }
    if (tray.IsAvailable()) {
        window.hide();
        // Qt repaints a window whole when it shows again, so a hidden one need
        // not keep its image: in the tray, where the window spends most of its
        // life, that image would hold a shared-memory segment of the window's
        // size (1 MiB) in this process and in the X server.
        if (QBackingStore* store = window.backingStore()) {
            store->resize(QSize(0, 0));
        }
    } else {
        window.showMinimized();
    }
}

void TrayPresence::ShowOnScreen() {
    if (window.isMinimized()) {
        window.showNormal();
    } else {
        window.show();
    }
}

void TrayPresence::BringToFront() {
    if (window.isVisible()) {
        window.raise();
        window.activateWindow();
    }
}

} // namespace kestrane
