#include "app/CTavrinDlgAutoProxyFactory.h"

#include "app/ActivationFile.h"
#include "app/CTavrinDlgAutoProxy.h"
#include "ui/CTavrinDlg.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <utility>

namespace kestrane {
namespace {

constexpr int kConnectionCheckMilliseconds = 1000;

const QString kServiceName = QLatin1String(ActivationFile::kServiceName);

} // namespace

CTavrinDlgAutoProxyFactory::CTavrinDlgAutoProxyFactory(std::function<void()> onLastRelease)
    : lastObjectReleased(std::move(onLastRelease)) {
    clientWatcher.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(&clientWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &CTavrinDlgAutoProxyFactory::OnClientGone);
    connectionCheck.setInterval(kConnectionCheckMilliseconds);
    connect(&connectionCheck, &QTimer::timeout, this, &CTavrinDlgAutoProxyFactory::CheckConnection);
}

CTavrinDlgAutoProxyFactory::~CTavrinDlgAutoProxyFactory() {
    Revoke();
    if (object != nullptr) {
        bus.unregisterObject(QLatin1String(kObjectPath));
    }
}

bool CTavrinDlgAutoProxyFactory::RegisterRunning(const QDBusConnection& connection) {
    if (classObjectExported || !connection.isConnected()) {
        return false;
    }
    bus = connection;
    classObjectExported =
        bus.registerObject(QLatin1String(kClassPath), this, QDBusConnection::ExportScriptableSlots);
    // The name leads clients here: claim it only once the class object answers.
    nameClaimed = classObjectExported && bus.registerService(kServiceName);
    if (!nameClaimed) {
        Revoke();
        return false;
    }
    clientWatcher.setConnection(bus);
    connectionCheck.start();
    return true;
}

void CTavrinDlgAutoProxyFactory::Revoke() {
    if (nameClaimed) {
        nameClaimed = false;
        bus.unregisterService(kServiceName);
    }
    if (classObjectExported) {
        classObjectExported = false;
        bus.unregisterObject(QLatin1String(kClassPath));
    }
}

QDBusObjectPath CTavrinDlgAutoProxyFactory::CreateInstance() {
    if (served) {
        sendErrorReply(
            QDBusError::AccessDenied,
            QStringLiteral("The class object serves one client; ask the bus name again."));
        return {};
    }
    if (mainDialog == nullptr || mainDialog->IsWindowDestroyed()) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("The program is ending."));
        return {};
    }
    served = true;
    // Single use: the next client's request starts a new copy.
    if (nameClaimed) {
        nameClaimed = false;
        bus.unregisterService(kServiceName);
    }
    const QString client = message().service();
    object = std::make_unique<CTavrinDlgAutoProxy>(mainDialog, client);
    connect(object.get(), &CTavrinDlgAutoProxy::ReleaseRequested, this,
            &CTavrinDlgAutoProxyFactory::ReleaseObject, Qt::QueuedConnection);
    bus.registerObject(QLatin1String(kObjectPath), object.get(),
                       QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportAdaptors);
    clientWatcher.addWatchedService(client);
    // A client that left before the watch began is never reported.
    if (!bus.interface()->isServiceRegistered(client).value()) {
        QMetaObject::invokeMethod(this, &CTavrinDlgAutoProxyFactory::ReleaseObject,
                                  Qt::QueuedConnection);
    }
    return QDBusObjectPath(QLatin1String(kObjectPath));
}

void CTavrinDlgAutoProxyFactory::ReleaseObject() {
    if (object == nullptr) {
        return;
    }
    clientWatcher.removeWatchedService(object->Owner());
    bus.unregisterObject(QLatin1String(kObjectPath));
    object.reset();
    // Served and released: nothing depends on the bus any more.
    connectionCheck.stop();
    lastObjectReleased();
}

void CTavrinDlgAutoProxyFactory::OnClientGone(const QString& client) {
    if (object != nullptr && object->Owner() == client) {
        ReleaseObject();
    }
}

void CTavrinDlgAutoProxyFactory::CheckConnection() {
    if (bus.isConnected()) {
        return;
    }
    connectionCheck.stop();
    nameClaimed = false;
    classObjectExported = false;
    if (object != nullptr) {
        ReleaseObject();
        return;
    }
    // Started for a client that never made its object: with the bus gone none
    // ever will, and the copy would hold the port and the lock unseen.
    if (!served) {
        served = true;
        lastObjectReleased();
    }
}

} // namespace kestrane
