#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace kestrane {

/// The program's notifications through the desktop's notification service
/// (org.freedesktop.Notifications on the session bus): one per sender, updated
/// in place rather than stacked, with the actions Reply and Open, and an
/// inline reply field where the server offers one; and one per file offer,
/// with the actions Accept and Decline.
///
/// What a peer sent is shown as plain text: escaped where the server reads
/// markup. At most kMostSenders notifications are open; one more replaces the
/// oldest. Without a service every call does nothing. Calls that await the
/// server's answer never block: a notification's id is recorded when it comes,
/// and an update shown before then waits for it. Signals are believed only from
/// the name's current owner. UI thread only.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    static constexpr int kMostSenders = 32;
    /// Longest line text shown, in characters; longer lines end in "...".
    static constexpr int kMostTextCharacters = 400;

    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QObject* parent = nullptr);
    /// Withdraws what is open: its actions would reach nobody.
    ~DesktopNotifications() override;
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    /// Whether a notification service answered on the bus, as it was at the
    /// last look (at construction, and whenever the service's name changes owner).
    bool IsAvailable() const;

    /// Shows, or updates in place, the one notification of `sender`: its
    /// newest line `text`, whether that was sent to this host alone, and how
    /// many of its lines wait (`waiting` >= 1).
    void Show(const QString& sender, const QString& text, int waiting, bool toYou = false);
    /// Withdraws the notification of `sender`, if one is open.
    void Withdraw(const QString& sender);
    /// Shows the notification of the file offer `offerId` from `from`; `what`
    /// says what it holds.
    void ShowOffer(int offerId, const QString& from, const QString& what);
    void WithdrawOffer(int offerId);
    void WithdrawAll();
    /// The senders whose notification is open.
    QStringList Open() const;
    /// The offers whose notification is open.
    QList<int> OpenOffers() const;

signals:
    /// The person chose Reply on the notification of `sender`, where the
    /// server has no inline reply: the line is to be answered in the program.
    void ReplyRequested(const QString& sender);
    /// The person typed `text` in the notification's inline reply field.
    void ReplyTyped(const QString& sender, const QString& text);
    /// The person chose Open, or clicked the notification itself.
    void OpenRequested(const QString& sender);
    /// The person chose Accept or Decline on the notification of an offer.
    void OfferAnswered(int offerId, bool accepted);
    /// The person clicked the notification of an offer.
    void OffersRequested();

private slots:
    void OnActionInvoked(uint id, const QString& action, const QDBusMessage& message);
    void OnNotificationClosed(uint id, uint reason, const QDBusMessage& message);
    void OnNotificationReplied(uint id, const QString& text, const QDBusMessage& message);

private:
    enum class Service { Absent, Asking, Present };
    /// What a Notify call shows.
    struct Content {
        QString summary;
        QString body;
    };
    /// One notification: of a sender's lines, or of an offer.
    struct Notice {
        quint32 id = 0;        // 0 until the server named it
        quint64 call = 0;      // the Notify call awaiting its answer, or 0
        bool pending = false;  // `content` waits to be sent
        Content content;       // the newest
        quint64 lastShown = 0; // for withdrawing the oldest
    };

    void Ask();
    /// At the end: takes the answers to Notify calls that came, within a moment.
    void AwaitAnswers();
    void OnCapabilities(QDBusPendingCallWatcher* watcher, quint64 asked);
    void OnOwnerChanged(const QString& newOwner);
    void ShowKeyed(const QString& key, const Content& content);
    void WithdrawKeyed(const QString& key);
    void Send(const QString& key);
    void OnNotified(QDBusPendingCallWatcher* watcher, const QString& key, quint64 call);
    void Close(quint32 id);
    /// The key of a signal's notification `id`, or empty when the signal is
    /// not the service's or the id is not ours.
    QString KeyOf(quint32 id, const QDBusMessage& message) const;
    void ConnectSignals(bool connecting);
    Content ContentOf(const QString& sender, const QString& text, int waiting, bool toYou) const;

    QDBusConnection bus;
    Service service = Service::Absent;
    QString owner; // the unique name that answered for the service
    bool bodyMarkup = false;
    bool inlineReply = false;
    bool ending = false;              // no call goes out any more
    quint64 asked = 0;                // the capabilities question whose answer counts
    quint64 calls = 0;                // serial of Notify calls
    quint64 shows = 0;                // serial of Show calls, for lastShown
    QHash<QString, Notice> notices;   // by key: open, or being opened
    QHash<quint32, QString> keysById; // the open ones the server named
    QList<quint64> closeOnAnswer;     // Notify calls withdrawn before their answer
};

} // namespace kestrane
