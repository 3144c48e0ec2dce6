#pragma once

#include "ui/AutoProxyLink.h"

#include <QDBusContext>
#include <QObject>
#include <QString>

namespace kestrane {

class CTavrinDlg;

/// An automation object: while it lives, the main window only hides when it
/// is closed. It points back at the main window, which points at it, and owns
/// nothing. On the bus it offers Release to the client that made it, and the
/// dispatch interface, which has no members. Owned by the class factory; UI
/// thread only.
class CTavrinDlgAutoProxy : public QObject, public AutoProxyLink, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "Tavrin.Application.Object")

public:
    /// Attaches itself to `mainWindow` (may be null); `owner` is the unique
    /// bus name of the client that made it.
    CTavrinDlgAutoProxy(CTavrinDlg* mainWindow, QString owner);
    /// Detaches itself from the main window, if still attached.
    ~CTavrinDlgAutoProxy() override;
    CTavrinDlgAutoProxy(const CTavrinDlgAutoProxy&) = delete;
    CTavrinDlgAutoProxy& operator=(const CTavrinDlgAutoProxy&) = delete;

    void DetachDialog() override { dialog = nullptr; }
    const QString& Owner() const { return owner; }

    /// The main window; null once it has detached this object.
    CTavrinDlg* dialog = nullptr;

public slots:
    /// The owner lets go of the object. Other clients are refused.
    Q_SCRIPTABLE void Release();

signals:
    /// Its owner let go; the factory destroys it from the event loop.
    void ReleaseRequested();

private:
    QString owner;
};

} // namespace kestrane
