#pragma once

#include "chat/ChatSender.h"
#include "core/unread/HistoryEntry.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>

class QWidget;

namespace kestrane {

class AlertSettings;
class DesktopNotifications;
class MessageQueue;

/// What tells the person that a line came while they look elsewhere, beyond
/// the tray's chime and blink: a notification per sender (unless Do not
/// disturb), a screen reader's announcement, and the answers to the
/// notification's actions. A line read by any path withdraws its notification.
/// Owns nothing it is given. UI thread only.
class LineAlerts : public QObject {
public:
    struct Hooks {
        /// Opens the message dialog on the queue's entry at `index`.
        std::function<void(int index)> readLine;
        /// Shows the main window, as a left click on the tray icon does.
        std::function<void()> open;
        /// Sends a reply line (CR LF appended) to where `entry` came from.
        std::function<SendResult(const HistoryEntry& entry, const QString& text)> reply;
        /// Notes in the log that a reply could not be sent.
        std::function<void(const QString& note)> note;
    };

    LineAlerts(QWidget& window, MessageQueue& queue, AlertSettings& settings,
               DesktopNotifications& notifications, Hooks hooks);

    /// A line was queued; `looking` when the person has the window in front of them.
    void LineQueued(const HistoryEntry& entry, bool looking);
    /// The person saw every line (the window came to the front).
    void AllRead();
    /// The message dialog closed: senders with no unseen line left lose their notification.
    void QueueRead();

private:
    void OnReplyRequested(const QString& sender);
    void OnReplyTyped(const QString& sender, const QString& text);
    /// The newest queued entry of `sender`, or -1.
    int NewestOf(const QString& sender) const;
    /// How many of the unseen lines at the queue's end came from `sender`.
    int UnseenFrom(const QString& sender) const;

    QWidget& window;
    MessageQueue& queue;
    AlertSettings& settings;
    DesktopNotifications& notifications;
    Hooks hooks;
    /// The newest line of each sender whose notification is open: where an
    /// inline reply goes, even when the queue no longer holds the line.
    QHash<QString, HistoryEntry> newestLines;
};

} // namespace kestrane
