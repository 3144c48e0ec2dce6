#include "core/alerts/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QThread>
#include <QVariantMap>
#include <algorithm>

namespace kestrane {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A server that never answers keeps a call this long at most.
constexpr int kCallTimeoutMs = 10000;
// How long the end waits for the ids of notifications just shown, and how often it looks.
constexpr int kEndWaitMs = 500;
constexpr unsigned long kEndPollMs = 5;
// A Notify call's watcher keeps what its answer is about.
constexpr const char* kSender = "kestraneSender";
constexpr const char* kCall = "kestraneCall";
constexpr const char* kHandled = "kestraneHandled";
// A notification is known by a key: the topic's letter, then a sender's name or an offer's id.
constexpr QChar kLineTopic = u'L';
constexpr QChar kOfferTopic = u'O';

QString LineKey(const QString& sender) {
    return kLineTopic + sender;
}

QString OfferKey(int offerId) {
    return kOfferTopic + QString::number(offerId);
}

QDBusMessage Call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kService, method);
}

/// Network text as one plain line: line breaks become spaces, other control
/// characters and direction overrides are dropped.
QString PlainLine(const QString& text) {
    QString line;
    line.reserve(text.size());
    for (const QChar character : text) {
        const char16_t unit = character.unicode();
        const bool lineBreak = unit == '\r' || unit == '\n' || unit == 0x2028 || unit == 0x2029;
        const bool directionControl =
            (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069);
        if (lineBreak) {
            line.append(QLatin1Char(' '));
        } else if (character.category() != QChar::Other_Control && !directionControl) {
            line.append(character);
        }
    }
    return line.trimmed();
}

/// At most `most` characters, ending in "..." when cut; never splits a surrogate pair.
QString Shortened(const QString& text, int most) {
    if (text.size() <= most) {
        return text;
    }
    qsizetype keep = most - 3;
    if (text.at(keep - 1).isHighSurrogate()) {
        --keep;
    }
    return text.left(keep) + QStringLiteral("...");
}

QString EscapedMarkup(QString text) {
    text.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    text.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    text.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return text;
}

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection sessionBus, QObject* parent)
    : QObject(parent), bus(std::move(sessionBus)) {
    if (!bus.isConnected()) {
        return;
    }
    auto* watcher =
        new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                OnOwnerChanged(newOwner);
            });
    ConnectSignals(true);
    Ask();
}

DesktopNotifications::~DesktopNotifications() {
    if (bus.isConnected()) {
        AwaitAnswers();
        WithdrawAll();
        ConnectSignals(false);
    }
}

void DesktopNotifications::AwaitAnswers() {
    // A notification whose id has not come yet could not be withdrawn, and
    // would stay on the desktop with actions that reach nobody: its answer is
    // waited for, briefly, off the event loop (the bus's thread takes it).
    ending = true;
    const QDeadlineTimer deadline(kEndWaitMs);
    for (QDBusPendingCallWatcher* watcher : findChildren<QDBusPendingCallWatcher*>()) {
        if (!watcher->property(kCall).isValid() || watcher->property(kHandled).toBool()) {
            continue; // the question of capabilities, or an answer taken already
        }
        while (!watcher->isFinished() && !deadline.hasExpired()) {
            QThread::msleep(kEndPollMs);
        }
        if (watcher->isFinished()) {
            OnNotified(watcher, watcher->property(kSender).toString(),
                       watcher->property(kCall).toULongLong());
        }
    }
}

// Signals from any sender are let through to the slots, which believe only the
// service's current owner: a name filter alone would leave that to the library.
void DesktopNotifications::ConnectSignals(bool connecting) {
    using Hook = bool (QDBusConnection::*)(const QString&, const QString&, const QString&,
                                           const QString&, QObject*, const char*);
    const Hook hook =
        connecting ? Hook(&QDBusConnection::connect) : Hook(&QDBusConnection::disconnect);
    (bus.*hook)(QString(), kPath, kService, QStringLiteral("ActionInvoked"), this,
                SLOT(OnActionInvoked(uint, QString, QDBusMessage)));
    (bus.*hook)(QString(), kPath, kService, QStringLiteral("NotificationClosed"), this,
                SLOT(OnNotificationClosed(uint, uint, QDBusMessage)));
    (bus.*hook)(QString(), kPath, kService, QStringLiteral("NotificationReplied"), this,
                SLOT(OnNotificationReplied(uint, QString, QDBusMessage)));
}

bool DesktopNotifications::IsAvailable() const {
    return service == Service::Present;
}

// The bus is not asked to start a server it could activate: one that no
// session runs would pop up at the program's start, with a look of its own.
void DesktopNotifications::Ask() {
    service = Service::Asking;
    const quint64 question = ++asked;
    QDBusMessage message = Call(QStringLiteral("GetCapabilities"));
    message.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, question](QDBusPendingCallWatcher* finished) {
                OnCapabilities(finished, question);
            });
}

void DesktopNotifications::OnCapabilities(QDBusPendingCallWatcher* watcher, quint64 question) {
    watcher->deleteLater();
    if (question != asked) {
        return; // the owner changed since: a newer question counts
    }
    const QDBusPendingReply<QStringList> reply = *watcher;
    if (reply.isError()) {
        service = Service::Absent;
        notices.clear();
        keysById.clear();
        return;
    }
    service = Service::Present;
    owner = reply.reply().service();
    bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
    inlineReply = reply.value().contains(QStringLiteral("inline-reply"));
    for (const QString& key : notices.keys()) {
        Send(key);
    }
}

// A new server knows none of the old one's notifications: what was open is
// shown anew on it.
void DesktopNotifications::OnOwnerChanged(const QString& newOwner) {
    owner.clear();
    keysById.clear();
    closeOnAnswer.clear();
    for (Notice& notice : notices) {
        notice.id = 0;
        notice.call = 0;
        notice.pending = true;
    }
    ++asked;
    service = Service::Absent;
    if (!newOwner.isEmpty()) {
        Ask();
    }
}

void DesktopNotifications::Show(const QString& sender, const QString& text, int waiting,
                                bool toYou) {
    ShowKeyed(LineKey(sender), ContentOf(sender, text, waiting, toYou));
}

void DesktopNotifications::ShowOffer(int offerId, const QString& from, const QString& what) {
    const QString body = Shortened(PlainLine(what), kMostTextCharacters);
    ShowKeyed(OfferKey(offerId), {tr("%1 offers files").arg(PlainLine(from)),
                                  bodyMarkup ? EscapedMarkup(body) : body});
}

void DesktopNotifications::ShowKeyed(const QString& key, const Content& content) {
    if (service == Service::Absent) {
        return;
    }
    if (!notices.contains(key) && notices.size() >= kMostSenders) {
        const auto oldest = std::min_element(
            notices.cbegin(), notices.cend(),
            [](const Notice& a, const Notice& b) { return a.lastShown < b.lastShown; });
        WithdrawKeyed(oldest.key());
    }
    Notice& notice = notices[key];
    notice.content = content;
    notice.pending = true;
    notice.lastShown = ++shows;
    Send(key);
}

DesktopNotifications::Content DesktopNotifications::ContentOf(const QString& sender,
                                                              const QString& text, int waiting,
                                                              bool toYou) const {
    QString body = Shortened(PlainLine(text), kMostTextCharacters);
    if (bodyMarkup) {
        body = EscapedMarkup(body);
    }
    if (waiting > 1) {
        body += QStringLiteral("\n(%1 lines waiting)").arg(waiting);
    }
    return {PlainLine(sender) + (toYou ? tr(", to you") : QString()), body};
}

// One call at a time per key: an update waits for the id of the call
// before it, so that it replaces rather than stacks. It stays until withdrawn
// (expires never): it stands for lines or an offer that wait for the person.
void DesktopNotifications::Send(const QString& key) {
    const auto found = notices.find(key);
    if (ending || service != Service::Present || found == notices.end() || found->call != 0 ||
        !found->pending) {
        return;
    }
    Notice& notice = *found;
    const bool offer = key.startsWith(kOfferTopic);
    QStringList actions{QStringLiteral("default"), tr("Open")};
    if (offer) {
        actions << QStringLiteral("accept") << tr("Accept") << QStringLiteral("decline")
                << tr("Decline");
    } else {
        actions << QStringLiteral("reply") << tr("Reply") << QStringLiteral("open") << tr("Open");
        if (inlineReply) {
            actions << QStringLiteral("inline-reply") << tr("Reply");
        }
    }
    const QVariantMap hints{{QStringLiteral("category"),
                             offer ? QStringLiteral("transfer") : QStringLiteral("im.received")},
                            {QStringLiteral("desktop-entry"), QStringLiteral("kestrane")},
                            {QStringLiteral("urgency"), QVariant::fromValue(uchar{1})}};
    QDBusMessage message = Call(QStringLiteral("Notify"));
    message << QStringLiteral("Kestrane") << notice.id << QStringLiteral("kestrane")
            << notice.content.summary << notice.content.body << actions << hints << qint32{0};
    notice.pending = false;
    notice.call = ++calls;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, kCallTimeoutMs), this);
    watcher->setProperty(kSender, key);
    watcher->setProperty(kCall, notice.call);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key, call = notice.call](QDBusPendingCallWatcher* finished) {
                OnNotified(finished, key, call);
            });
}

void DesktopNotifications::OnNotified(QDBusPendingCallWatcher* watcher, const QString& key,
                                      quint64 call) {
    if (watcher->property(kHandled).toBool()) {
        return;
    }
    watcher->setProperty(kHandled, true);
    watcher->deleteLater();
    const QDBusPendingReply<quint32> reply = *watcher;
    const quint32 id = reply.isError() ? 0 : reply.value();
    if (closeOnAnswer.removeOne(call)) {
        Close(id);
        return;
    }
    const auto found = notices.find(key);
    if (found == notices.end() || found->call != call) {
        return; // from a server that has gone since
    }
    found->call = 0;
    if (id != 0 && id != found->id) {
        keysById.remove(found->id);
        found->id = id;
        keysById.insert(id, key);
    }
    if (found->id == 0 && !found->pending) {
        notices.erase(found);
        return;
    }
    Send(key);
}

void DesktopNotifications::Close(quint32 id) {
    if (id == 0 || service != Service::Present) {
        return;
    }
    QDBusMessage message = Call(QStringLiteral("CloseNotification"));
    message << id;
    bus.asyncCall(message, kCallTimeoutMs); // nothing to do with the answer
}

void DesktopNotifications::Withdraw(const QString& sender) {
    WithdrawKeyed(LineKey(sender));
}

void DesktopNotifications::WithdrawOffer(int offerId) {
    WithdrawKeyed(OfferKey(offerId));
}

void DesktopNotifications::WithdrawKeyed(const QString& key) {
    const auto found = notices.find(key);
    if (found == notices.end()) {
        return;
    }
    if (found->call != 0) {
        // Its id is not known yet: closed when the answer names it. A server
        // that never answers keeps at most kMostSenders such calls noted.
        closeOnAnswer.append(found->call);
        if (closeOnAnswer.size() > kMostSenders) {
            closeOnAnswer.removeFirst();
        }
    }
    keysById.remove(found->id);
    Close(found->id);
    notices.erase(found);
}

void DesktopNotifications::WithdrawAll() {
    for (const QString& key : notices.keys()) {
        WithdrawKeyed(key);
    }
}

QStringList DesktopNotifications::Open() const {
    QStringList senders;
    for (const QString& key : notices.keys()) {
        if (key.startsWith(kLineTopic)) {
            senders << key.mid(1);
        }
    }
    return senders;
}

QList<int> DesktopNotifications::OpenOffers() const {
    QList<int> offers;
    for (const QString& key : notices.keys()) {
        if (key.startsWith(kOfferTopic)) {
            offers << key.mid(1).toInt();
        }
    }
    return offers;
}

QString DesktopNotifications::KeyOf(quint32 id, const QDBusMessage& message) const {
    if (owner.isEmpty() || message.service() != owner) {
        return {};
    }
    return keysById.value(id);
}

void DesktopNotifications::OnActionInvoked(uint id, const QString& action,
                                           const QDBusMessage& message) {
    const QString key = KeyOf(id, message);
    const bool opened = action == QLatin1String("default") || action == QLatin1String("open");
    if (key.startsWith(kOfferTopic)) {
        const int offerId = key.mid(1).toInt();
        if (action == QLatin1String("accept") || action == QLatin1String("decline")) {
            emit OfferAnswered(offerId, action == QLatin1String("accept"));
        } else if (opened) {
            emit OffersRequested();
        }
    } else if (key.startsWith(kLineTopic)) {
        if (action == QLatin1String("reply")) {
            emit ReplyRequested(key.mid(1));
        } else if (opened) {
            emit OpenRequested(key.mid(1));
        }
    }
}

void DesktopNotifications::OnNotificationClosed(uint id, uint, const QDBusMessage& message) {
    const QString key = KeyOf(id, message);
    if (key.isEmpty()) {
        return;
    }
    keysById.remove(id);
    const auto found = notices.find(key);
    if (found == notices.end()) {
        return;
    }
    if (found->call == 0) {
        notices.erase(found);
    } else {
        found->id = 0; // the update on its way makes a new one
    }
}

void DesktopNotifications::OnNotificationReplied(uint id, const QString& text,
                                                 const QDBusMessage& message) {
    const QString key = KeyOf(id, message);
    if (key.startsWith(kLineTopic)) {
        emit ReplyTyped(key.mid(1), text);
    }
}

} // namespace kestrane
