#include "ui/alerts/LineAlerts.h"

#include "core/alerts/DesktopNotifications.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "ui/accessibility/Accessibility.h"
#include "ui/alerts/AlertSettings.h"

#include <QSet>
#include <utility>

namespace kestrane {
namespace {

// The line as its sender wrote it: without the queue's ">" and the line end.
QString LineOf(const HistoryEntry& entry) {
    QString text = entry.GetText().mid(1);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r'))) {
        text.chop(1);
    }
    return text;
}

} // namespace

LineAlerts::LineAlerts(QWidget& mainWindow, MessageQueue& messageQueue, UnreadLines& unreadLines,
                       AlertSettings& alertSettings, DesktopNotifications& desktopNotifications,
                       Hooks alertHooks)
    : window(mainWindow), queue(messageQueue), unread(unreadLines), settings(alertSettings),
      notifications(desktopNotifications), hooks(std::move(alertHooks)) {
    // Queued: the message dialog's loop does not run inside the bus's delivery.
    connect(&notifications, &DesktopNotifications::ReplyRequested, this,
            &LineAlerts::OnReplyRequested, Qt::QueuedConnection);
    connect(&notifications, &DesktopNotifications::ReplyTyped, this, &LineAlerts::OnReplyTyped);
    connect(&notifications, &DesktopNotifications::OpenRequested, this,
            [this](const QString&) { hooks.open(); });
}

void LineAlerts::LineQueued(const HistoryEntry& entry) {
    Accessibility::Announce(
        window, QStringLiteral("Unread line from %1: %2").arg(entry.GetSender(), LineOf(entry)));
    if (!entry.seen) {
        Notify(entry);
    }
}

void LineAlerts::LinesRestored() {
    // One notification per sender, with its newest line and how many wait.
    QSet<QString> told;
    for (auto entry = queue.entries.crbegin(); entry != queue.entries.crend(); ++entry) {
        if (!entry->seen && !told.contains(entry->sender)) {
            told.insert(entry->sender);
            Notify(*entry);
        }
    }
}

void LineAlerts::Notify(const HistoryEntry& entry) {
    if (settings.DoNotDisturb()) {
        return;
    }
    notifications.Show(entry.GetSender(), LineOf(entry),
                       std::max(1, unread.CountFrom(entry.sender)), entry.toYou);
    const QStringList open = notifications.Open();
    for (auto at = newestLines.begin(); at != newestLines.end();) {
        at = open.contains(at.key()) ? std::next(at) : newestLines.erase(at);
    }
    if (open.contains(entry.sender)) {
        newestLines.insert(entry.sender, entry);
    }
}

void LineAlerts::UnreadChanged() {
    for (const QString& sender : notifications.Open()) {
        if (unread.CountFrom(sender) == 0) {
            notifications.Withdraw(sender);
            newestLines.remove(sender);
        }
    }
}

void LineAlerts::OnReplyRequested(const QString& sender) {
    const int index = NewestOf(sender);
    if (index < 0) {
        hooks.open();
        return;
    }
    hooks.readLine(index);
}

void LineAlerts::OnReplyTyped(const QString& sender, const QString& text) {
    const auto line = newestLines.constFind(sender);
    if (line == newestLines.constEnd()) {
        return;
    }
    const HistoryEntry entry = *line;
    notifications.Withdraw(sender);
    newestLines.remove(sender);
    if (hooks.reply(entry, text + QStringLiteral("\r\n")) != SendResult::Sent) {
        hooks.note(QStringLiteral("The reply to %1 from the notification could not be sent: %2")
                       .arg(sender, text));
        return;
    }
    // The person read the line the notification showed, and answered it.
    unread.Shown(NewestOf(sender));
}

int LineAlerts::NewestOf(const QString& sender) const {
    for (int index = queue.Size() - 1; index >= 0; --index) {
        if (queue.entries[static_cast<std::size_t>(index)].sender == sender) {
            return index;
        }
    }
    return -1;
}

} // namespace kestrane
