#include "ui/FileOffers.h"

#include "chat/chat.h"
#include "core/NetworkText.h"
#include "core/transfers/FileTransfers.h"
#include "platform/MessageBox.h"
#include "ui/CTransfersDlg.h"
#include "ui/TrayPresence.h"
#include "ui/alerts/OfferAlerts.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QUrl>
#include <utility>

namespace kestrane {
namespace {

const std::string kBoxCaption = "Kestrane";

} // namespace

FileOffers::FileOffers(QDialog& mainWindow, const std::string& windowName,
                       TrayPresence& trayPresence, DesktopNotifications& notifications,
                       AlertSettings& settings, Hooks offerHooks)
    : window(mainWindow), ownName(windowName), presence(trayPresence), hooks(std::move(offerHooks)),
      alerts(std::make_unique<OfferAlerts>(notifications, settings,
                                           [this] { OpenTransfers(true); })) {}

FileOffers::~FileOffers() {
    Stop();
}

void FileOffers::Stop() {
    delete transfersDialog;
}

bool FileOffers::MayQuit() {
    FileTransfers* transfers = hooks.transfers();
    return transfers == nullptr || CTransfersDlg::MayQuit(*transfers, &window);
}

int FileOffers::WaitingCount() const {
    const FileTransfers* transfers = hooks.transfers();
    return transfers != nullptr ? transfers->WaitingCount() : 0;
}

bool FileOffers::TakeFileDrop(QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) {
        return false;
    }
    auto* drop = static_cast<QDropEvent*>(event);
    QStringList paths;
    for (const QUrl& url : drop->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths << url.toLocalFile();
        }
    }
    if (paths.isEmpty()) {
        return false;
    }
    drop->acceptProposedAction();
    if (type == QEvent::Drop) {
        // After the drop has been answered: boxes may follow.
        QMetaObject::invokeMethod(
            &window, [this, paths] { OfferFiles(paths); }, Qt::QueuedConnection);
    }
    return true;
}

void FileOffers::OnSendFiles(bool folder) {
    const Recipient recipient = hooks.chosenHost();
    if (!MayOfferFilesTo(recipient)) {
        return;
    }
    const QString to = NetworkName(recipient.name);
    QStringList paths;
    if (folder) {
        const QString chosen = QFileDialog::getExistingDirectory(
            &window, QStringLiteral("Send a folder to %1").arg(to), QDir::homePath());
        if (!chosen.isEmpty()) {
            paths << chosen;
        }
    } else {
        paths = QFileDialog::getOpenFileNames(&window, QStringLiteral("Send files to %1").arg(to),
                                              QDir::homePath());
    }
    if (!paths.isEmpty()) {
        OfferFiles(paths);
    }
}

bool FileOffers::MayOfferFilesTo(const Recipient& recipient) {
    if (recipient.index <= 0) {
        ShowMessageBox("Choose the host to send the files to in the list: files go to one host "
                       "at a time.",
                       kBoxCaption);
        return false;
    }
    if (recipient.name == ownName) {
        ShowMessageBox("These files are on this computer already.", kBoxCaption);
        return false;
    }
    if (recipient.address.empty()) {
        ShowMessageBox(NetworkName(recipient.name).toStdString() +
                           " has not been heard from, so its address is unknown: "
                           "files go only to hosts that answered.",
                       kBoxCaption);
        return false;
    }
    return hooks.transfers() != nullptr;
}

void FileOffers::OfferFiles(const QStringList& paths) {
    // Taken again: the roster may have changed while a file dialog was open.
    const Recipient recipient = hooks.chosenHost();
    FileTransfers* transfers = hooks.transfers();
    if (transfers == nullptr || !MayOfferFilesTo(recipient)) {
        return;
    }
    if (!transfers->Open()) {
        ShowMessageBox("Files cannot be sent from here: TCP port " + std::to_string(CHAT_PORT) +
                           " is in use by another program.",
                       kBoxCaption);
        return;
    }
    transfers->Offer(recipient.name, recipient.address, paths);
    OpenTransfers();
}

void FileOffers::OpenTransfers(bool takeFocus) {
    FileTransfers* transfers = hooks.transfers();
    if (transfers == nullptr) {
        return;
    }
    if (transfersDialog == nullptr) {
        transfersDialog = new CTransfersDlg(*transfers, hooks.openUrl, &window);
        transfersDialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    transfersDialog->setAttribute(Qt::WA_ShowWithoutActivating, !takeFocus);
    transfersDialog->show();
    transfersDialog->raise();
    if (takeFocus) {
        transfersDialog->activateWindow();
    }
}

void FileOffers::AlertOffer() {
    if (FileTransfers* transfers = hooks.transfers()) {
        alerts->OfferCame(*transfers, presence.Looking());
    }
    // Opening the view here would take the keyboard from a person typing a
    // line, and Enter would answer an offer nobody chose.
    if (!presence.hidden) {
        QApplication::alert(&window);
        return;
    }
    presence.NoteOffer();
}

} // namespace kestrane
