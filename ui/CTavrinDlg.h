#pragma once

#include "chat/ChatSender.h"
#include "core/delivery/Recipient.h"
#include "core/roster/HostRoster.h"
#include "core/session/ChatSession.h"
#include "core/session/SessionView.h"
#include "ui/LogPane.h"
#include "ui/LogText.h"
#include "ui/TrayPresence.h"

#include <QDBusConnection>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLineEdit;
class QUrl;

namespace kestrane {

class AlertSettings;
class AutoProxyLink;
class CMessageDlg;
class DesktopNotifications;
class EverybodyNote;
class FileOffers;
class HistoryEntry;
class LineAlerts;
class LogMarks;
class MessageQueue;
class RosterBox;
class SingleInstanceLock;
class ToneSink;
class ToolWindows;
class TrayIcon;
class TrustPrompts;
class UiBridge;
class WindowMenus;

/// The program's one main window: chat log, roster, message line and its
/// buttons, living mostly hidden behind the notification-area icon. It shows
/// the running copy (a ChatSession it owns) and hands it what the person does.
/// Behind a tray its controls are made when it is first shown: a copy that
/// stays in the tray never lays out text or loads a font. UI thread only.
class CTavrinDlg : public QDialog, public SessionView {
    Q_OBJECT

public:
    /// What the window uses but does not own; everything must outlive it.
    struct Services {
        MessageQueue& queue;
        ToneSink& tones;
        TrayIcon& tray;
        UiBridge& bridge;                           // closed when the window is destroyed
        SingleInstanceLock* instanceLock = nullptr; // freed when the window is destroyed
        std::function<void(const QUrl&)> openUrl;   // default: the desktop's handler
        /// The dotted address of a host name, or nothing; runs on a thread of
        /// its own. Default: the resolver.
        std::function<std::optional<std::string>(const std::string& name)> lookUpAddress;
        /// Where the history is kept; empty: no history.
        QString historyFolder;
        /// The bus of the desktop's notification service; none: the session bus.
        std::optional<QDBusConnection> desktopBus;
    };

    using Recipient = kestrane::Recipient;

    /// Command id of "&About Kestrane..." in the window's menus.
    static constexpr unsigned IDM_ABOUTBOX = 16;
    /// Most hosts the roster lists, the broadcast entry aside.
    static constexpr int kMostHosts = HostRoster::kMostHosts;

    explicit CTavrinDlg(Services services, QWidget* parent = nullptr);
    ~CTavrinDlg() override;
    CTavrinDlg(const CTavrinDlg&) = delete;
    CTavrinDlg& operator=(const CTavrinDlg&) = delete;

    /// Starts the network (showing the window only where no notification area
    /// can hold it) and runs until the dialog ends, then destroys the window;
    /// returns the dialog's result.
    int DoModal();
    /// Starts the network with the window behind the tray's icon, never shown
    /// until the person asks for it (DoModal, where a tray exists).
    void StartBehindIcon();
    /// Ends the dialog whatever holds it (termination signal, end of the
    /// session): open modal dialogs and menus of the program end first, and
    /// the window goes only once the event loops they ran have returned, so
    /// that no code waiting in them resumes on a destroyed window.
    void EndSession();

    /// False, hiding the window, while an automation object holds the program;
    /// false also when file transfers run and the person, asked, keeps them running.
    bool CanClose();
    void setVisible(bool visible) override;
    void accept() override;
    void reject() override;
    void done(int result) override;

    /// The running copy the window shows.
    ChatSession& Session() { return *session; }

    /// Sends the message line to the selected recipient; the line stays in the
    /// message line until it is sent.
    void OnSend();
    /// Chooses `host` in the roster, to answer one of its lines.
    void ReplyTo(const std::string& host);
    /// Sends a reply line (CR LF already appended) to where `entry` came from.
    virtual SendResult SendReply(const HistoryEntry& entry, const QString& text);
    /// Another copy of the program was started: shows this window as a left
    /// click on the icon does, so the person sees the copy that runs.
    void ComeForward() override;
    WindowMenus& Menus() { return *menus; }
    /// The marks on the log's lines sent.
    const LogMarks& Marks() const { return logPane->Marks(); }
    void OnSysCommand(unsigned id);
    void HideToTray();

    /// Data exchange: copies the controls' texts into the members, or the members into the
    /// controls.
    void ReadControls();
    void WriteControls();

    /// Window destruction: icon removed, offers withdrawn, the session ended
    /// (leaving notice, instance lock freed, bridge closed). Runs once, when
    /// the dialog ends.
    void DestroyWindow();
    bool IsWindowDestroyed() const { return windowDestroyed; }

    // What the session shows.
    std::uint64_t Log(const QString& text, Stamp stamp) override;
    void SetMark(std::uint64_t logLine, LineLook look, const QString& words) override;
    void SetTrust(std::uint64_t logLine, LineTrust lineTrust, const QString& sender) override;
    bool PersonLooking(const HistoryEntry& entry) const override;
    void LineQueued(const HistoryEntry& entry) override;
    void UnreadRestored(int lines) override;
    void OfferArrived() override;
    void NetworkStarted(const std::string& ownName) override;
    void EndRequested() override;
    void KeysChanged(const std::string& name) override;

    // Members, in the order of the design.
    QComboBox* roster = nullptr; // null until the controls are made
    QString messageText;
    LogText logText;
    AutoProxyLink* autoProxy = nullptr;
    QIcon icon;
    bool networkStarting = false;

    /// The window on the screen or behind the tray icon, and unread lines.
    std::unique_ptr<TrayPresence> presence;
    /// Mute and Do not disturb, and what tells of a line beyond the tray.
    std::unique_ptr<AlertSettings> alertSettings;
    std::unique_ptr<DesktopNotifications> notifications;
    std::unique_ptr<LineAlerts> alerts;
    /// Files offered and received, and their view; their server opens with the first offer.
    std::unique_ptr<FileOffers> offers;

protected:
    /// Starts the network on the chat port; tests start it on loopback.
    virtual void StartNetwork();
    /// At the first show, or at the start behind the icon: once per window.
    void StartNetworkOnce();
    /// Shows the queue's entry at `current` in the message dialog and returns
    /// when the user is done with it.
    virtual void RunMessageDialog();

    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void MakeParts();
    void MakeControls();
    void ConnectControls();
    /// Who the roster names; nobody while the window was never shown.
    Recipient ChosenRecipient() const;

    Services services;
    /// The running copy; made before the parts of the window that use it.
    std::unique_ptr<ChatSession> session;
    QLineEdit* messageLine = nullptr;
    std::unique_ptr<LogPane> logPane;
    std::unique_ptr<WindowMenus> menus;
    std::unique_ptr<ToolWindows> tools;
    RosterBox* rosterBox = nullptr;       // owned by the roster box (Qt parent)
    TrustPrompts* trust = nullptr;        // owned by the window (Qt parent)
    EverybodyNote* everybody = nullptr;   // owned by the window (Qt parent)
    CMessageDlg* messageDialog = nullptr; // while RunMessageDialog runs it
    bool windowDestroyed = false;
    bool endingSession = false;    // ended by a signal or logoff: no box can be answered
    int baseLoopLevel = 0;         // event loops already running when the window was made
    bool modalLoopRunning = false; // DoModal's own loop
    bool welcoming = false;        // the first start on this account: shown, with a note
};

/// The one main window, for code that reaches it without a reference (the
/// automation object). Set by its constructor, cleared by its destructor.
extern CTavrinDlg* mainDialog;

} // namespace kestrane
