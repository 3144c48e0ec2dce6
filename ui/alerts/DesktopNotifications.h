#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

namespace kestrane {

/// The program's notifications through the desktop's notification service
/// (org.freedesktop.Notifications on the session bus): one per sender, updated
/// in place rather than stacked, with the actions Reply and Open, and an
/// inline reply field where the server offers one.
///
/// What a peer sent is shown as plain text: escaped where the server reads
/// markup. At most kMostSenders notifications are open; one more replaces the
/// oldest. Without a service every call does nothing. UI thread only.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    static constexpr int kMostSenders = 32;
    /// Longest line text shown, in characters; longer lines end in "...".
    static constexpr int kMostTextCharacters = 400;

    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QObject* parent = nullptr);
    ~DesktopNotifications() override;
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    /// Whether a notification service answered on the bus, as it was at the
    /// last look (at construction, and whenever the service's name changes owner).
    bool IsAvailable() const;

    /// Shows, or updates in place, the one notification of `sender`: its
    /// newest line `text`, and how many of its lines wait (`waiting` >= 1).
    void Show(const QString& sender, const QString& text, int waiting);
    /// Withdraws the notification of `sender`, if one is open.
    void Withdraw(const QString& sender);
    void WithdrawAll();
    /// The senders whose notification is open.
    QStringList Open() const;

signals:
    /// The person chose Reply on the notification of `sender`, where the
    /// server has no inline reply: the line is to be answered in the program.
    void ReplyRequested(const QString& sender);
    /// The person typed `text` in the notification's inline reply field.
    void ReplyTyped(const QString& sender, const QString& text);
    /// The person chose Open, or clicked the notification itself.
    void OpenRequested(const QString& sender);

private:
    QDBusConnection bus;
    QHash<QString, quint32> idsBySender; // open notifications
};

} // namespace kestrane
