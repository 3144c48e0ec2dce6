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
class UnreadLines;

/// What tells the person that a line came while they look elsewhere, beyond
/// the tray's chime and blink: a notification per sender (unless Do not
/// disturb), a screen reader's announcement, and the answers to the
/// notification's actions. A sender's notification stays while any of its
/// lines is unseen (UnreadLines), and goes when none is, by whatever path.
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

    LineAlerts(QWidget& window, MessageQueue& queue, UnreadLines& unread, AlertSettings& settings,
               DesktopNotifications& notifications, Hooks hooks);

    /// A line was queued: notified unless the person saw it as it came.
    void LineQueued(const HistoryEntry& entry);
    /// Lines left unread at the last end were queued again: each sender's
    /// notification tells of them.
    void LinesRestored();
    /// What is unread changed: senders with no unseen line lose their notification.
    void UnreadChanged();

private:
    void OnReplyRequested(const QString& sender);
    void OnReplyTyped(const QString& sender, const QString& text);
    /// The newest queued entry of `sender`, or -1.
    int NewestOf(const QString& sender) const;
    void Notify(const HistoryEntry& entry);

    QWidget& window;
    MessageQueue& queue;
    UnreadLines& unread;
    AlertSettings& settings;
    DesktopNotifications& notifications;
    Hooks hooks;
    /// The newest line of each sender whose notification is open: where an
    /// inline reply goes, even when the queue no longer holds the line.
    QHash<QString, HistoryEntry> newestLines;
};

} // namespace kestrane
