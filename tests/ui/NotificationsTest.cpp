#include "core/alerts/DesktopNotifications.h"
#include "core/unread/MessageQueue.h"
#include "tests/support/PrivateBus.h"
#include "ui/alerts/AlertSettings.h"
#include "ui/alerts/LineAlerts.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

/// dunst on `bus`, with markup, on an Xvfb display of its own; each
/// notification it shows or updates is noted as "id|summary|body".
struct Dunst {
    QTemporaryDir folder;
    QProcess display, dunst;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    static void Write(const QString& path, const QString& text) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text.toUtf8());
    }
    bool Start(const QString& bus) {
        const QString script = folder.filePath("seen.sh"), rc = folder.filePath("dunstrc");
        Write(script, QStringLiteral("#!/bin/sh\nprintf '%s|%s|%s\\036' \"$DUNST_ID\" "
                                     "\"$DUNST_SUMMARY\" \"$DUNST_BODY\" >>%1\n")
                          .arg(folder.filePath("seen")));
        QFile(script).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        Write(rc, QStringLiteral("[global]\nmarkup = full\n[seen]\nscript = %1\n").arg(script));
        // A display number that no Xvfb of another namespace holds: its lock file is shared.
        for (int number = QRandomGenerator::global()->bounded(100, 900); number < 1000;
             number += 7) {
            if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
                QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))) {
                continue;
            }
            display.start("Xvfb", {QStringLiteral(":%1").arg(number), "-nolisten", "tcp"});
            if (QTest::qWaitFor(
                    [&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); },
                    5000)) {
                environment.insert("DISPLAY", QStringLiteral(":%1").arg(number));
                break;
            }
            display.kill(), display.waitForFinished();
        }
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        dunst.setProcessEnvironment(environment);
        dunst.start("dunst", {"-config", rc});
        return dunst.waitForStarted() && environment.contains("DISPLAY");
    }
    ~Dunst() {
        for (QProcess* process : {&dunst, &display}) {
            process->terminate(), process->waitForFinished();
        }
    }
    QStringList Seen() const {
        QFile log(folder.filePath("seen"));
        return !log.open(QIODevice::ReadOnly)
                   ? QStringList()
                   : QString::fromUtf8(log.readAll()).split(QChar(036), Qt::SkipEmptyParts);
    }
    int Count() { // shown on the screen; dunst keeps none waiting by default
        QProcess control;
        control.setProcessEnvironment(environment);
        control.start("dunstctl", {"count", "displayed"});
        control.waitForFinished();
        return control.readAllStandardOutput().trimmed().toInt();
    }
};

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
    ASSERT_TRUE(QTest::qWaitFor([&] { return dunst.Seen().join('\n').contains(last); }, 5000));
    EXPECT_EQ(dunst.Count(), DesktopNotifications::kMostSenders);
    EXPECT_FALSE(notifications.Open().contains(pc4));
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

TEST(DesktopNotifications, BelievesOnlyTheServiceForgetsClosedOnesAndTakesInlineReplies) {
    PrivateBus bus;
    ASSERT_TRUE(bus.IsUp());
    QDBusConnection server = bus.Connect("server"), other = bus.Connect("other");
    InlineReplyServer fake;
    ASSERT_TRUE(server.registerVirtualObject(kPath, &fake) && server.registerService(kService));
    DesktopNotifications notifications(bus.Connect("notify"));
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

TEST(DesktopNotifications, LinesNotifyUnlessLookedAtOrQuietAndTheActionsReachTheLine) {
    PrivateBus bus;
    ASSERT_TRUE(bus.IsUp());
    QDBusConnection server = bus.Connect("server");
    InlineReplyServer fake;
    ASSERT_TRUE(server.registerVirtualObject(kPath, &fake) && server.registerService(kService));
    DesktopNotifications notifications(bus.Connect("notify"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.IsAvailable(); }, 5000));
    QWidget window;
    MessageQueue queue;
    AlertSettings settings;
    QStringList done;
    LineAlerts alerts(window, queue, settings, notifications,
                      {.readLine = [&](int index) { done << QString("read %1").arg(index); },
                       .open = [&] { done << "open"; },
                       .reply =
                           [&](const HistoryEntry& entry, const QString& text) {
                               done << entry.sender + " <- " + text.trimmed();
                               return SendResult::Sent;
                           },
                       .note = [&](const QString& note) { done << note; }});
    const auto lineFrom = [](const char* sender) {
        HistoryEntry line;
        line.SetSender(sender), line.AppendText("hi\r\n");
        return line;
    };
    queue.Append(lineFrom("PC4")), queue.Append(lineFrom("PC3")), queue.Append(lineFrom("PC4"));
    settings.SetDoNotDisturb(true);
    alerts.LineQueued(lineFrom("PC5"), false);
    settings.SetDoNotDisturb(false);
    alerts.LineQueued(lineFrom("PC6"), true); // the person looks at the window
    alerts.LineQueued(lineFrom("PC3"), false);
    alerts.LineQueued(lineFrom("PC4"), false); // after the others on the wire
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !fake.notified.isEmpty() && fake.notified.last()[3] == "PC4"; }, 5000));
    QStringList notified;
    for (const QVariantList& call : fake.notified) {
        notified << call[3].toString() + "|" + call[4].toString();
    }
    EXPECT_EQ(notified.join(" / ").toStdString(), "PC3|hi / PC4|hi\n(2 lines waiting)");

    Signal(server, "ActionInvoked", {1u, "reply"});
    Signal(server, "NotificationReplied", {1u, "ok"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.size() == 2; }, 5000));
    done.sort(); // the reply's dialog waits for the event loop
    EXPECT_EQ(done.join(" / ").toStdString(), "PC3 <- ok / read 1");
    settings.SetDoNotDisturb(false);
}

} // namespace
} // namespace kestrane::test
