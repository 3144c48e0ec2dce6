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

class ChatMessage;
class CTransfersDlg;
class FileTransfers;
class TrayPresence;

/// The main window's side of file transfer: choosing files or a folder,
/// files dropped on the window, offers to the host chosen in the roster,
/// notices from others, and the Transfers view. Owns the transfers from
/// network start until Stop, and the view. Does not own the window or the
/// presence. UI thread only.
class FileOffers {
public:
    /// What the offers use of the window.
    struct Hooks {
        /// The host chosen in the roster, taken when called.
        std::function<Recipient()> chosenHost;
        /// Writes a note in the log.
        std::function<void(const QString& note)> note;
        /// Sends a file-transfer notice to an address.
        std::function<SendResult(const std::string& address, const std::string& text)> sendNotice;
        /// Opens an arrived file or its folder with the desktop's handler.
        std::function<void(const QUrl&)> openUrl;
        /// A transfer came, changed its state, or went; may be empty.
        std::function<void(const std::vector<FileTransfers::Transfer>& transfers)> changed;
    };

    /// `ownName` is the window's, read when an offer is made.
    FileOffers(QDialog& window, const std::string& ownName, TrayPresence& presence, Hooks hooks);
    ~FileOffers();
    FileOffers(const FileOffers&) = delete;
    FileOffers& operator=(const FileOffers&) = delete;

    /// Makes the transfers, on `port`; the server opens with the first offer.
    void Start(int port);
    /// Withdraws the offers, stops the transfers and closes the view.
    void Stop();

    /// Asks for files (or a folder) to offer to the host chosen in the roster.
    void OnSendFiles(bool folder);
    /// Offers `paths` to the host chosen in the roster.
    void OfferFiles(const QStringList& paths);
    /// Takes the drag and drop of local files on any part of the window.
    bool TakeFileDrop(QEvent* event);
    /// A file-transfer notice from `address`.
    void OnFileNotice(const ChatMessage& message, const std::string& address);
    /// Shows the file transfers; with `takeFocus` (the person asked for them)
    /// they take the keyboard, else it stays where the person is typing.
    void OpenTransfers(bool takeFocus = true);
    /// Offers from others that wait for the person.
    int WaitingCount() const;
    /// True unless transfers are under way and the person, asked, keeps the
    /// program running.
    bool MayQuit();

private:
    bool MayOfferFilesTo(const Recipient& recipient);
    /// An offer came: heard and seen as a line is while hidden; otherwise the
    /// log's note and the taskbar tell of it, and the person opens it when ready.
    void AlertOffer();

    QDialog& window;
    const std::string& ownName;
    TrayPresence& presence;
    Hooks hooks;
    std::unique_ptr<FileTransfers> fileTransfers;
    QPointer<CTransfersDlg> transfersDialog; // deletes itself when closed
};

} // namespace kestrane
