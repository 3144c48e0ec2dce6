#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace kestrane {

class CTavrinDlgAutoProxy;

/// The class object of CTavrinDlgAutoProxy on the session bus. Registered as
/// running, it holds the bus name "Tavrin.Application" and serves one create
/// call: the object goes on a path of its own, and the name is given up, so
/// the bus starts a new copy for the next client. Each copy thus serves at
/// most one object, which the factory owns and destroys when its client
/// releases it, leaves the bus, or the bus goes away. UI thread only.
class CTavrinDlgAutoProxyFactory : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "Tavrin.Application.ClassFactory")

public:
    static constexpr const char* kClassPath = "/Tavrin/Application";
    static constexpr const char* kObjectPath = "/Tavrin/Application/Object1";

    /// `lastObjectReleased` runs from the event loop when the object has gone,
    /// or when the bus went away before any object was made; never from the
    /// destructor.
    explicit CTavrinDlgAutoProxyFactory(std::function<void()> lastObjectReleased);
    /// Revokes the registration and destroys the object if it is still held.
    ~CTavrinDlgAutoProxyFactory() override;
    CTavrinDlgAutoProxyFactory(const CTavrinDlgAutoProxyFactory&) = delete;
    CTavrinDlgAutoProxyFactory& operator=(const CTavrinDlgAutoProxyFactory&) = delete;

    /// Exports the class object on `connection` and claims the bus name.
    /// False, with nothing left registered, without a bus or when another
    /// process holds the name.
    bool RegisterRunning(const QDBusConnection& connection);
    /// Gives up the name and takes the class object off the bus.
    void Revoke();

    bool HoldsObject() const { return object != nullptr; }

public slots:
    /// Makes the automation object, attached to the main window, and returns
    /// its path. Served once: later calls fail.
    Q_SCRIPTABLE QDBusObjectPath CreateInstance();

private:
    void ReleaseObject();
    void OnClientGone(const QString& client);
    void CheckConnection();

    std::function<void()> lastObjectReleased;
    QDBusConnection bus{QString()};
    QDBusServiceWatcher clientWatcher;
    /// Qt reports no loss of the bus connection: it is looked at while the
    /// registration or the object depends on it.
    QTimer connectionCheck;
    std::unique_ptr<CTavrinDlgAutoProxy> object;
    bool classObjectExported = false;
    bool nameClaimed = false;
    bool served = false;
};

} // namespace kestrane
