#include "core/alerts/DesktopNotifications.h"
#include "core/transfers/FileTransfers.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "files/FileNotice.h"
#include "files/OfferToken.h"
#include "tests/support/Dunst.h"
#include "tests/support/LoopbackAddress.h"
#include "tests/support/PrivateBus.h"
#include "ui/alerts/AlertSettings.h"
#include "ui/alerts/LineAlerts.h"
#include "ui/alerts/OfferAlerts.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QFile>
#include <QLocale>
#include <QRandomGenerator>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

TEST(DesktopNotifications, ShowsOnePerSenderUpdatedInPlaceAsPlainTextWithdrawsAndCaps) {
    PrivateBus bus;
    Dunst dunst;
    ASSERT_TRUE(bus.IsUp() && dunst.Start(bus.Address()));
    QDBusConnection probe = bus.Connect("probe");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return probe.interface()->isServiceRegistered(kService); }, 5000));
    DesktopNotifications notifications(bus.Connect("notify"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.IsAvailable(); }, 5000));

    const QString longLine = QString(300, 'x') + QString(200, 'y'), pc4 = QString("PC\x1b") + '4';
    notifications.Show("PC3", "a <b>bold</b> & co\r\n", 1);
    notifications.Show("PC3", "Second\a line\r\n", 2); // before the first one's id came
    notifications.Show(pc4, longLine, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dunst.Seen().size() == 3; }, 5000));
    QStringList seen = dunst.Seen(), ids;
    for (QString& entry : seen) {
        ids << entry.section('|', 0, 0);
        entry = entry.section('|', 1);
    }
    seen.sort();
    EXPECT_EQ(
        seen.join(" / ").toStdString(),
        ("PC3|Second line\n(2 lines waiting) / PC3|a &lt;b&gt;bold&lt;/b&gt; &amp; co / PC4|" +
         longLine.left(397) + "...")
            .toStdString());
    EXPECT_EQ(ids.removeDuplicates(), 1); // PC3's two were one
    EXPECT_EQ(dunst.Count(), 2);

    notifications.Withdraw("PC3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return dunst.Count() == 1; }, 5000));
    EXPECT_EQ(notifications.Open(), QStringList{pc4});
    // The oldest, PC4, makes room for the last of these.
    for (int i = 0; i < DesktopNotifications::kMostSenders; ++i) {
        notifications.Show(QStringLiteral("H%1").arg(i), "hello", 1);
    }
    const QString last = QStringLiteral("|H%1|").arg(DesktopNotifications::kMostSenders - 1);
    // dunst draws each one: on a loaded machine that many took over 5 s.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dunst.Seen().join('\n').contains(last); }, 20000));
    EXPECT_EQ(dunst.Count(), DesktopNotifications::kMostSenders);
    EXPECT_FALSE(notifications.Open().contains(pc4));
    // A copy that ends as soon as it has shown one takes it along, though its id had not come.
    {
        DesktopNotifications ending(bus.Connect("ending"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return ending.IsAvailable(); }, 5000));
        ending.Show("PC5", "just now", 1);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return dunst.Seen().join('\n').contains("|PC5|"); }, 5000));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return dunst.Count() == DesktopNotifications::kMostSenders; }, 5000));
}

/// A server with inline replies that answers from the test: what no server on
/// this machine offers. It notes the Notify calls' arguments.
struct InlineReplyServer : QDBusVirtualObject {
    QList<QVariantList> notified;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        if (message.member() == "GetCapabilities") {
            bus.send(message.createReply(QStringList{"actions", "body", "inline-reply"}));
        } else if (message.member() == "Notify") {
            notified << message.arguments();
            const uint id = message.arguments().at(1).toUInt();
            bus.send(message.createReply(id != 0 ? id : uint(notified.size())));
        }
        return true;
    }
};

void Signal(QDBusConnection& from, const QString& name, const QVariantList& arguments) {
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, name);
    signal.setArguments(arguments);
    from.send(signal);
    from.interface()->isServiceRegistered(kService); // flushed
}

// A private bus on which the test answers for the notification service, and
// the program's notifications on it.
class ServedNotifications : public testing::Test {
protected:
    PrivateBus bus;
    QDBusConnection server = bus.Connect("server"), other = bus.Connect("other");
    InlineReplyServer fake;
    bool up = bus.IsUp() && server.registerVirtualObject(kPath, &fake) &&
              server.registerService(kService);
    DesktopNotifications notifications{bus.Connect("notify")};
};

TEST_F(ServedNotifications, BelievesOnlyTheServiceForgetsClosedOnesAndTakesInlineReplies) {
    ASSERT_TRUE(up);
    QStringList heard;
    QObject::connect(&notifications, &DesktopNotifications::ReplyRequested,
                     [&](const QString& sender) { heard << "reply " + sender; });
    QObject::connect(
        &notifications, &DesktopNotifications::ReplyTyped,
        [&](const QString& sender, const QString& text) { heard << sender + ": " + text; });
    QObject::connect(&notifications, &DesktopNotifications::OpenRequested,
                     [&](const QString& sender) { heard << "open " + sender; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.IsAvailable(); }, 5000));

    notifications.Show("PC3", "a<b", 1);
    notifications.Show("PC3", "again", 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notified.size() == 2; }, 5000));
    EXPECT_EQ(fake.notified[0][4].toString(), "a<b"); // this server reads no markup
    EXPECT_TRUE(fake.notified[0][5].toStringList().contains("inline-reply"));
    EXPECT_EQ(fake.notified[1][1].toUInt(), 1u); // the update replaced the first, once its id came

    for (QDBusConnection* from : {&other, &server}) {
        Signal(*from, "ActionInvoked", {1u, "reply"});
        Signal(*from, "ActionInvoked", {1u, "default"});
        Signal(*from, "NotificationReplied", {1u, from == &other ? "forged" : "typed"});
        Signal(*from, "NotificationClosed", {1u, 2u});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.Open().isEmpty(); }, 5000));
    EXPECT_EQ(heard.join(" / ").toStdString(), "reply PC3 / open PC3 / PC3: typed");
    notifications.Show("PC3", "after", 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notified.size() == 3; }, 5000));
    EXPECT_EQ(fake.notified[2][1].toUInt(), 0u); // closed, it is new
}

TEST_F(ServedNotifications, LinesNotifyUnlessLookedAtOrQuietAndTheActionsReachTheLine) {
    ASSERT_TRUE(up);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.IsAvailable(); }, 5000));
    QWidget window;
    MessageQueue queue;
    UnreadLines unread(queue, {});
    AlertSettings settings;
    QStringList done;
    LineAlerts alerts(window, queue, unread, settings, notifications,
                      {.readLine = [&](int index) { done << QString("read %1").arg(index); },
                       .open = [&] { done << "open"; },
                       .reply =
                           [&](const HistoryEntry& entry, const QString& text) {
                               done << entry.sender + " <- " + text.trimmed();
                               return SendResult::Sent;
                           },
                       .note = [&](const QString& note) { done << note; }});
    const auto lineFrom = [](const char* sender, bool seen = false) {
        HistoryEntry line;
        line.SetSender(sender), line.AppendText("hi\r\n"), line.seen = seen;
        return line;
    };
    for (const char* sender : {"PC4", "PC3", "PC4"}) {
        unread.Arrived(lineFrom(sender), false);
    }
    settings.SetDoNotDisturb(true);
    alerts.LineQueued(lineFrom("PC5"));
    settings.SetDoNotDisturb(false);
    alerts.LineQueued(lineFrom("PC6", true)); // the person looked at the window as it came
    HistoryEntry toYou = lineFrom("PC3");     // sent to this host alone
    toYou.toYou = true;
    alerts.LineQueued(toYou);
    alerts.LineQueued(lineFrom("PC4")); // after the others on the wire
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !fake.notified.isEmpty() && fake.notified.last()[3] == "PC4"; }, 5000));
    QStringList notified;
    for (const QVariantList& call : fake.notified) {
        notified << call[3].toString() + "|" + call[4].toString();
    }
    EXPECT_EQ(notified.join(" / ").toStdString(), "PC3, to you|hi / PC4|hi\n(2 lines waiting)");

    Signal(server, "ActionInvoked", {1u, "reply"});
    Signal(server, "NotificationReplied", {1u, "ok"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.size() == 2; }, 5000));
    done.sort(); // the reply's dialog waits for the event loop
    done << QString("unread PC3 %1, PC4 %2")
                .arg(unread.CountFrom("PC3"))
                .arg(unread.CountFrom("PC4"));
    // The line answered inline was read in its notification.
    EXPECT_EQ(done.join(" / ").toStdString(), "PC3 <- ok / read 1 / unread PC3 0, PC4 2");
    settings.SetDoNotDisturb(false);
}

TEST_F(ServedNotifications, AnOfferThatComesUnseenIsNotifiedAndAnsweredFromItsNotification) {
    ASSERT_TRUE(up);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.IsAvailable(); }, 5000));
    AlertSettings settings;
    QStringList sent;
    FileTransfers transfers({[&](const std::string& address, const std::string& text) {
                                 sent << QString::fromStdString(address + " " + text).trimmed();
                                 return SendResult::Sent;
                             },
                             [](const QString&) {},
                             [] {},
                             {},
                             {},
                             {}},
                            FreePort(SOCK_STREAM));
    int shown = 0;
    OfferAlerts alerts(notifications, settings, [&] { ++shown; });
    // Offers from 10.1.0.N, the person looking or not; then the offers' states.
    const auto offer = [&](int host, bool looking) {
        const std::string token = *OfferToken::Make();
        transfers.OnNotice(
            "PC" + std::to_string(host), "10.1.0." + std::to_string(host),
            FileNotice{FileNotice::Kind::Offer, token, 3, 2048, "<b>a</b>"}.Compose());
        alerts.OfferCame(transfers, looking);
    };
    offer(1, false);
    offer(2, true);
    offer(3, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notified.size() == 2; }, 5000));
    const QVariantList& first = fake.notified[0];
    EXPECT_EQ(first[3].toString() + "|" + first[4].toString(),
              "PC1 offers files|\"<b>a</b>\" (3 items, " +
                  QLocale::system().formattedDataSize(2048) + ")");
    EXPECT_TRUE(first[5].toStringList().contains("accept") &&
                first[5].toStringList().contains("decline"));
    EXPECT_EQ(qdbus_cast<QVariantMap>(first[6].value<QDBusArgument>()).value("category").toString(),
              "transfer");
    EXPECT_EQ(notifications.OpenOffers().size(), 2);
    // Only the service's answers count; each reaches its own offer, and a click shows the list.
    for (QDBusConnection* from : {&other, &server}) {
        Signal(*from, "ActionInvoked", {2u, "default"});
        Signal(*from, "ActionInvoked", {1u, "decline"});
        Signal(*from, "ActionInvoked", {2u, "accept"});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.OpenOffers().isEmpty(); }, 5000));
    // The accepted offer is fetched (from a host that is not there, so it may have failed).
    QStringList states;
    for (const auto& transfer : transfers.Transfers()) {
        using State = FileTransfers::State;
        states << (transfer.state == State::Waiting    ? "waiting"
                   : transfer.state == State::Declined ? "declined"
                   : transfer.state == State::Running || transfer.state == State::Failed ? "fetched"
                                                                                         : "?");
    }
    EXPECT_EQ(states.join(' ').toStdString(), "declined waiting fetched");
    EXPECT_TRUE(sent.join('|').startsWith("10.1.0.1 FILES/1 DECLINE"));
    EXPECT_EQ(shown, 1);
}

} // namespace
} // namespace kestrane::test
