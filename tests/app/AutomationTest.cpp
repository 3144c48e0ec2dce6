#include "app/AutomationReleaseRule.h"
#include "app/CTavrinDlgAutoProxy.h"
#include "app/CTavrinDlgAutoProxyFactory.h"
#include "tests/app/PrivateBus.h"
#include "tests/ui/MainWindowFixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDialog>
#include <QTest>
#include <memory>

namespace kestrane::test {
namespace {

const QString kName = QStringLiteral("Tavrin.Application");
const QString kClassPath = QStringLiteral("/Tavrin/Application");
const QString kObjectPath = QStringLiteral("/Tavrin/Application/Object1");

/// The main window, the class factory on a private bus and two clients.
class AutomationTest : public MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        if (bus.Address().isEmpty()) {
            GTEST_SKIP() << "dbus-daemon is not available";
        }
        server = Connect("kestrane-server");
        client = Connect("kestrane-client");
        factory = std::make_unique<CTavrinDlgAutoProxyFactory>([this] {
            ++lastReleases;
            ApplyReleaseRule(userControl, mainDialog);
        });
    }

    void TearDown() override {
        factory.reset();
        for (const char* name : {"kestrane-server", "kestrane-client", "kestrane-other"}) {
            QDBusConnection::disconnectFromBus(QLatin1String(name));
        }
    }

    QDBusConnection Connect(const char* name) {
        return QDBusConnection::connectToBus(bus.Address(), QLatin1String(name));
    }

    /// Calls `method` and waits for the answer, serving the factory meanwhile.
    static QDBusMessage Call(QDBusConnection& from, const QString& service, const QString& path,
                             const QString& interface, const QString& method) {
        const QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        return from.call(call, QDBus::BlockWithGui, 5000);
    }

    QDBusMessage Create(QDBusConnection& from, const QString& service = kName) {
        return Call(from, service, kClassPath, QStringLiteral("Tavrin.Application.ClassFactory"),
                    QStringLiteral("CreateInstance"));
    }

    QDBusMessage Release(QDBusConnection& from) {
        return Call(from, server.baseService(), kObjectPath,
                    QStringLiteral("Tavrin.Application.Object"), QStringLiteral("Release"));
    }

    /// Serves events until the last object has gone, once.
    bool ReleasedWithin(int milliseconds) {
        return QTest::qWaitFor([this] { return lastReleases > 0; }, milliseconds) &&
               lastReleases == 1;
    }

    /// Registers the class object and has `client` create the object.
    void CreateObject() {
        ASSERT_TRUE(factory->RegisterRunning(server));
        ASSERT_TRUE(client.interface()->isServiceRegistered(kName).value());
        const QDBusMessage reply = Create(client);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        ASSERT_EQ(qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path(), kObjectPath);
    }

    PrivateBus bus;
    QDBusConnection server{QString()};
    QDBusConnection client{QString()};
    std::unique_ptr<CTavrinDlgAutoProxyFactory> factory;
    bool userControl = true;
    int lastReleases = 0;
};

TEST_F(AutomationTest, OneCreateAttachesAnObjectWithoutMembersAndGivesUpTheName) {
    CreateObject();
    ASSERT_NE(dialog->autoProxy, nullptr);
    EXPECT_EQ(static_cast<CTavrinDlgAutoProxy*>(dialog->autoProxy)->dialog, dialog.get());
    EXPECT_FALSE(client.interface()->isServiceRegistered(kName).value());
    // Single use: the class object answers no second create, by any route.
    EXPECT_EQ(Create(client, server.baseService()).type(), QDBusMessage::ErrorMessage);

    const QDBusMessage reply =
        Call(client, server.baseService(), kObjectPath,
             QStringLiteral("Tavrin.Application.Dispatch"), QStringLiteral("Quit"));
    EXPECT_EQ(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
    const QDBusMessage introspection =
        Call(client, server.baseService(), kObjectPath,
             QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    EXPECT_TRUE(introspection.arguments().value(0).toString().contains(
        QStringLiteral("<interface name=\"Tavrin.Application.Dispatch\">\n  </interface>")));
    EXPECT_TRUE(factory->HoldsObject());
}

TEST_F(AutomationTest, CloseOnlyHidesWhileTheObjectLivesThenReleaseEndsTheProgram) {
    userControl = false;
    ShowPlainly();
    CreateObject();
    dialog->close();
    EXPECT_FALSE(dialog->IsWindowDestroyed());
    EXPECT_FALSE(dialog->isVisible());

    const QDBusMessage reply = Release(client);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    ASSERT_TRUE(ReleasedWithin(5000));
    EXPECT_FALSE(factory->HoldsObject());
    EXPECT_EQ(dialog->autoProxy, nullptr);
    EXPECT_TRUE(dialog->IsWindowDestroyed());
}

TEST_F(AutomationTest, OnlyTheCreatingClientCanRelease) {
    CreateObject();
    QDBusConnection other = Connect("kestrane-other");
    const QDBusMessage refused = Release(other);
    EXPECT_EQ(refused.errorName(), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    QTest::qWait(50);
    EXPECT_TRUE(factory->HoldsObject());
    EXPECT_NE(dialog->autoProxy, nullptr);
}

TEST_F(AutomationTest, ClientLeavingTheBusReleasesItsObject) {
    userControl = false;
    CreateObject();
    // The connection closes when its last handle goes.
    client = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(QStringLiteral("kestrane-client"));
    ASSERT_TRUE(ReleasedWithin(5000));
    EXPECT_EQ(dialog->autoProxy, nullptr);
    EXPECT_TRUE(dialog->IsWindowDestroyed());
}

TEST_F(AutomationTest, LosingTheBusReleasesTheObject) {
    userControl = false;
    CreateObject();
    bus.Stop();
    ASSERT_TRUE(ReleasedWithin(10000));
    EXPECT_EQ(dialog->autoProxy, nullptr);
    EXPECT_TRUE(dialog->IsWindowDestroyed());
}

TEST_F(AutomationTest, NothingIsRegisteredWhenTheNameIsTakenOrThereIsNoBus) {
    ASSERT_TRUE(client.registerService(kName));
    EXPECT_FALSE(factory->RegisterRunning(server));
    const QDBusMessage reply = Create(client, server.baseService());
    EXPECT_EQ(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));

    CTavrinDlgAutoProxyFactory unconnected([] {});
    EXPECT_FALSE(unconnected.RegisterRunning(QDBusConnection(QStringLiteral("no-such-bus"))));
}

TEST_F(AutomationTest, DestroyingTheWindowFirstDetachesTheObject) {
    CreateObject();
    auto* object = static_cast<CTavrinDlgAutoProxy*>(dialog->autoProxy);
    dialog.reset();
    EXPECT_EQ(object->dialog, nullptr);
    factory.reset();
    EXPECT_EQ(lastReleases, 0);
}

using ReleaseRuleTest = MainWindowFixture;

TEST_F(ReleaseRuleTest, AnOpenModalDialogPutsTheUserInControlInstead) {
    bool userControl = false;
    QDialog about(dialog.get());
    about.setWindowModality(Qt::ApplicationModal);
    about.show();
    ApplyReleaseRule(userControl, dialog.get());
    EXPECT_TRUE(userControl);
    EXPECT_FALSE(dialog->IsWindowDestroyed());

    // The user is in control now, as after a start by the user: a later last
    // release changes nothing.
    about.hide();
    ApplyReleaseRule(userControl, dialog.get());
    EXPECT_FALSE(dialog->IsWindowDestroyed());
}

} // namespace
} // namespace kestrane::test
