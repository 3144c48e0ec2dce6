#pragma once

#include "chat/ChatSender.h"
#include "core/delivery/Recipient.h"
#include "core/transfers/FileTransfers.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QDialog;
class QEvent;
class QUrl;

namespace kestrane {

class AlertSettings;
class CTransfersDlg;
class DesktopNotifications;
class FileTransfers;
class OfferAlerts;
class TrayPresence;

/// The main window's side of file transfer: choosing files or a folder,
/// files dropped on the window, offers to the host chosen in the roster,
/// notices from others, and the Transfers view, over the running copy's
/// transfers. Owns the view. Does not own the window, the presence or the
/// transfers. UI thread only.
class FileOffers {
public:
    /// What the offers use of the window.
    struct Hooks {
        /// The host chosen in the roster, taken when called.
        std::function<Recipient()> chosenHost;
        /// The running copy's transfers; none before network start or after its end.
        std::function<FileTransfers*()> transfers;
        /// Opens an arrived file or its folder with the desktop's handler.
        std::function<void(const QUrl&)> openUrl;
    };

    /// `ownName` is the window's, read when an offer is made.
    FileOffers(QDialog& window, const std::string& ownName, TrayPresence& presence,
               DesktopNotifications& notifications, AlertSettings& settings, Hooks hooks);
    ~FileOffers();
    FileOffers(const FileOffers&) = delete;
    FileOffers& operator=(const FileOffers&) = delete;

    /// Closes the view.
    void Stop();

    /// Asks for files (or a folder) to offer to the host chosen in the roster.
    void OnSendFiles(bool folder);
    /// Offers `paths` to the host chosen in the roster.
    void OfferFiles(const QStringList& paths);
    /// Takes the drag and drop of local files on any part of the window.
    bool TakeFileDrop(QEvent* event);
    /// Shows the file transfers; with `takeFocus` (the person asked for them)
    /// they take the keyboard, else it stays where the person is typing.
    void OpenTransfers(bool takeFocus = true);
    /// Offers from others that wait for the person.
    int WaitingCount() const;
    /// True unless transfers are under way and the person, asked, keeps the
    /// program running.
    bool MayQuit();
    /// An offer came: heard and seen as a line is while hidden, and notified
    /// unless the person looks at the window; otherwise the log's note and the
    /// taskbar tell of it, and the person opens it when ready.
    void AlertOffer();

private:
    bool MayOfferFilesTo(const Recipient& recipient);

    QDialog& window;
    const std::string& ownName;
    TrayPresence& presence;
    Hooks hooks;
    QPointer<CTransfersDlg> transfersDialog; // deletes itself when closed
    std::unique_ptr<OfferAlerts> alerts;
};

} // namespace kestrane
