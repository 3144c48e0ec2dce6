#include "app/AutomationReleaseRule.h"

#include "ui/CTavrinDlg.h"

#include <QApplication>

namespace kestrane {

void ApplyReleaseRule(bool& userControl, CTavrinDlg* mainWindow) {
    if (userControl) {
        return;
    }
    userControl = true;
    if (mainWindow == nullptr) {
        QCoreApplication::quit();
        return;
    }
    // A Qt modal dialog blocks its parent without disabling it: the open
    // modal widget stands for the disabled owner window.
    const QWidget* modal = QApplication::activeModalWidget();
    const bool ownsModalDialog = modal != nullptr && modal != mainWindow;
    if (mainWindow->isEnabled() && !ownsModalDialog) {
        mainWindow->done(QDialog::Rejected);
    }
}

} // namespace kestrane
