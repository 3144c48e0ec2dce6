#include "app/CTavrinDlgAutoProxy.h"

#include "app/AutoProxyDispatchAdaptor.h"
#include "ui/CTavrinDlg.h"

#include <QDBusError>
#include <QDBusMessage>
#include <utility>

namespace kestrane {

CTavrinDlgAutoProxy::CTavrinDlgAutoProxy(CTavrinDlg* mainWindow, QString client)
    : dialog(mainWindow), owner(std::move(client)) {
    new AutoProxyDispatchAdaptor(this);
    if (dialog != nullptr) {
        dialog->autoProxy = this;
    }
}

CTavrinDlgAutoProxy::~CTavrinDlgAutoProxy() {
    if (dialog != nullptr && dialog->autoProxy == this) {
        dialog->autoProxy = nullptr;
    }
}

void CTavrinDlgAutoProxy::Release() {
    if (calledFromDBus() && message().service() != owner) {
        sendErrorReply(QDBusError::AccessDenied,
                       QStringLiteral("Only the client that created the object can release it."));
        return;
    }
    emit ReleaseRequested();
}

} // namespace kestrane
