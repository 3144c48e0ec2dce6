#pragma once

#include "chat/ChatSender.h"
#include "chat/ScriptedSend.h"
#include "core/delivery/Recipient.h"
#include "core/delivery/SentLines.h"
#include "core/history/HistoryStore.h"
#include "core/roster/HostRoster.h"
#include "ui/LogText.h"
#include "ui/TrayPresence.h"

#include <QDialog>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QSocketNotifier;
class QUrl;

namespace kestrane {

class AutoProxyLink;
class BoundedLookup;
class ChatHistory;
class ChatMessage;
class ChatWindowBridge;
class HistoryEntry;
class FileOffers;
class IncomingHandler;
class AlertSettings;
class DesktopNotifications;
class InstanceCalls;
class LineAlerts;
class WindowMenus;
class LineDelivery;
class LogControl;
class LogMarks;
class SentLines;
class MessageQueue;
class NetworkPresence;
class PortConnection;
class PortListener;
class SingleInstanceLock;
class ToneSink;
class TrayIcon;
class UiBridge;

/// The program's one main window: chat log, roster, message line and its
/// buttons, living mostly hidden behind the notification-area icon. Owns the
/// listener and the connection from network start until its destruction.
///
/// Everything runs on the UI thread, except DeliverChatMessage, which other
/// threads call to reach OnChatMessage through the UI bridge.
class CTavrinDlg : public QDialog {
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
    };

    /// Who a line from the message line goes to, taken when Send is pressed.
    using Recipient = kestrane::Recipient;

    /// How long the window waits for a resolver before going on without it.
    static constexpr std::chrono::milliseconds kLookupLimit{1000};

    /// Command id of "&About Kestrane..." in the window's menus.
    static constexpr unsigned IDM_ABOUTBOX = 16;

    /// Most hosts the roster lists, the broadcast entry aside.
    static constexpr int kMostHosts = HostRoster::kMostHosts;
    /// Longest wait from the first of a run of dropped lines to the log's note of them.
    static constexpr std::chrono::milliseconds kDropReportDelay{500};

    explicit CTavrinDlg(Services services, QWidget* parent = nullptr);
    ~CTavrinDlg() override;
    CTavrinDlg(const CTavrinDlg&) = delete;
    CTavrinDlg& operator=(const CTavrinDlg&) = delete;

    /// Shows the window and runs until the dialog ends, then destroys the
    /// window; returns the dialog's result.
    int DoModal();
    /// Ends the dialog whatever holds it (termination signal, end of the
    /// session): open modal dialogs and menus of the program end first, and
    /// the window goes only once the event loops they ran have returned, so
    /// that no code waiting in them resumes on a destroyed window.
    void EndSession();

    /// False, hiding the window, while an automation object holds the program;
    /// false also when file transfers run and the person, asked, keeps them running.
    bool CanClose();
    void accept() override;
    void reject() override;
    void done(int result) override;

    /// Incoming text, on the UI thread: log, queue, tones, unread flag.
    /// `address` is where it came from, and where a reply goes.
    int OnChatMessage(const ChatMessage& message, const std::string& address = {});
    /// Hands a copy of `message` to OnChatMessage on the UI thread, after the
    /// calls posted before it, without waiting for it (UiBridge::Post). False,
    /// without handling it, once the window is destroyed. Safe to call from any thread.
    bool DeliverChatMessage(const ChatMessage& message, const std::string& address);
    /// Notes in the log that `lines` lines from the network were dropped unseen.
    void ShowDroppedLines(std::uint64_t lines);
    /// Lines were dropped, from the network or from the full unread queue: the
    /// log notes how many within kDropReportDelay, one note for all dropped
    /// meanwhile, whether or not another line comes.
    void ReportDroppedLinesSoon();

    /// Sends the message line to the selected recipient. A host never heard
    /// from is looked up first, off the UI thread; the line stays in the
    /// message line until it is sent.
    void OnSend();
    /// Lists a host as HostRoster::Add does, unless it is the own name or the
    /// window is destroyed.
    void AddPeer(const std::string& name, const std::string& address = {});
    /// Unlists a host as HostRoster::Remove does, unless the window is destroyed.
    void RemovePeer(const std::string& name);
    /// Sends a reply line (CR LF already appended) to where `entry` came from
    /// (or, without that, where its sender last spoke from). Logs nothing and
    /// leaves the roster alone.
    virtual SendResult SendReply(const HistoryEntry& entry, const QString& text);
    /// Another copy of the program was started: shows this window as a left
    /// click on the icon does, so the person sees the copy that runs.
    void ComeForward();
    /// Sends a line a script handed over (`kestrane --send`) and calls `reply`
    /// once, on the UI thread, with what became of it.
    void SendForScript(const ScriptedSend& request,
                       std::function<void(ScriptedSend::Outcome, const QString& message)> reply);
    void OnHelp();
    /// Opens the History window.
    void OnHistory();
    /// Opens the Network view.
    void OnNetwork();
    /// Unlists the hosts whose last address is `lost`; returns how many.
    int ForgetHosts(const std::function<bool(const std::string& address)>& lost);
    /// A file-transfer notice from `address`, on the UI thread.
    void OnFileNotice(const ChatMessage& message, const std::string& address);
    /// A receipts-and-presence notice from `address`, on the UI thread.
    void OnDeliveryNotice(const ChatMessage& message, const std::string& address);
    /// Another host said hello.
    void OnHelloHeard();
    /// Sends the line logged at `logLine` again, when it was not delivered.
    void SendAgain(std::uint64_t logLine);
    /// The marks on the log's lines sent.
    const LogMarks& Marks() const { return *logMarks; }
    void OnSysCommand(unsigned id);
    void HideToTray();

    /// Data exchange: copies the controls' texts into the members, or the members into the
    /// controls.
    void ReadControls();
    void WriteControls();

    /// Window destruction: icon removed, leaving notice, instance lock freed,
    /// bridge closed. Runs once, when the dialog ends.
    void DestroyWindow();
    bool IsWindowDestroyed() const { return windowDestroyed; }

    // Members, in the order of the design.
    PortListener* listener = nullptr;
    PortConnection* connection = nullptr;
    std::string ownName; // bytes as on the wire
    QComboBox* roster = nullptr;
    QString messageText;
    LogText logText;
    AutoProxyLink* autoProxy = nullptr;
    QIcon icon;

    bool networkStarting = false; // the own name is being looked up
    bool networkStarted = false;

    /// The window on the screen or behind the tray icon, and unread lines.
    std::unique_ptr<TrayPresence> presence;
    /// Mute and Do not disturb, and what tells of a line beyond the tray.
    std::unique_ptr<AlertSettings> alertSettings;
    std::unique_ptr<DesktopNotifications> notifications;
    std::unique_ptr<LineAlerts> alerts;
    /// Files offered and received, and their view; their server opens with the first offer.
    std::unique_ptr<FileOffers> offers;

protected:
    /// Starts the listener and the connection, then learns the own name off the
    /// UI thread; CompleteNetworkStart follows once it is known.
    virtual void StartNetwork();
    /// Sends a line (CR LF appended) to `recipient`: by broadcast at index 0,
    /// else to the host's address; a line to the own name is only logged.
    /// With receipts asked for, the line is tracked as trackedSend; `keep`
    /// false leaves it out of the outbox when it is not delivered.
    virtual SendResult SendText(const Recipient& recipient, const QString& line, bool keep = true);
    /// Broadcasts the leaving notice; its result is not looked at.
    virtual int SendLeaving();
    /// Opens the listener and the connection on `port`, with "broadcasts"
    /// aimed at `broadcastHost` when not null (tests aim them at loopback).
    void OpenNetwork(int port, const char* broadcastHost);
    /// Why the listener could not take `port`, naming another user that holds it.
    static std::string PortTakenText(int port);
    /// The rest of network start, once the own name is known: the hello, the
    /// broadcast entry, the tray. Without a name (gethostname failed) the user
    /// is told and the program ends. Nothing happens once the window is destroyed.
    void CompleteNetworkStart(const std::optional<std::string>& name);
    /// Shows the queue's entry at `current` in the message dialog and returns
    /// when the user is done with it.
    virtual void RunMessageDialog();

    // Network objects, made at network start. The handler is reached by the
    // listener's dispatcher thread until the listener is released.
    std::unique_ptr<ChatSender> chatSender;
    std::unique_ptr<ChatWindowBridge> chatWindow;
    std::unique_ptr<IncomingHandler> incomingHandler;
    /// Receipts, the outbox and presence; made with the sender.
    std::unique_ptr<LineDelivery> delivery;

    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void ConnectControls();
    void ListenForOtherCopies();
    /// Opens the message dialog on the unread lines, from the keyboard.
    void ReadUnreadLines();
    void ShowLogMenu(const QPoint& position);
    void OnShowWindow();
    Recipient SelectedRecipient() const;
    /// Sends `line` and logs the outcome; the message line clears only when
    /// the line went out and the user has not typed another meanwhile.
    /// A script's send answers through `reply`, and leaves the message line
    /// and the boxes alone.
    void FinishSend(const Recipient& recipient, const QString& line,
                    const SentLines::ScriptReply& reply = {});
    void LookUpAndSend(Recipient recipient, const QString& line,
                       const SentLines::ScriptReply& reply = {});
    /// Marks the line just logged at `logLine` and follows its receipts.
    void TrackSent(const Recipient& recipient, const QString& line, std::uint64_t logLine,
                   const SentLines::ScriptReply& reply);
    /// The hosts listed that cannot confirm a line.
    std::size_t HostsWithoutReceipts() const;
    void LearnOwnName();
    void AppendNote(const QString& note);
    /// Notes the lines dropped since the last report, if any.
    void ReportDroppedLines();
    /// Queues the lines left unread when the program last ended, and sends
    /// again, once the network has started, the lines left in the outbox.
    void Restore(const HistoryStore::Restored& restored);
    void RestoreOutbox();
    /// Records a line sent now; 0 without history.
    std::int64_t RecordSent(const std::string& host, const std::string& address,
                            const QString& line, std::optional<SentLines::LineKey> key);
    void ReportUnsent(SendResult result, const std::string& host,
                      const SentLines::ScriptReply& reply = {});

    Services services;
    QLineEdit* messageLine = nullptr;
    QPlainTextEdit* logView = nullptr;
    std::unique_ptr<LogControl> logControl;
    std::unique_ptr<LogMarks> logMarks;
    std::unique_ptr<SentLines> sentLines;
    /// The line SendText last sent with receipts asked for.
    std::optional<std::uint64_t> trackedSend;
    bool windowDestroyed = false;
    bool endingSession = false;        // ended by a signal or logoff: no box can be answered
    int baseLoopLevel = 0;             // event loops already running when the window was made
    bool modalLoopRunning = false;     // DoModal's own loop
    std::unique_ptr<HostRoster> hosts; // the roster's hosts and where they spoke from
    std::unique_ptr<BoundedLookup> lookups;
    /// Calls from copies started while this one runs; gone before the lock closes.
    std::unique_ptr<InstanceCalls> instanceCalls;
    std::unique_ptr<WindowMenus> menus;
    /// Everything said, kept on disk; none when no folder was given.
    std::unique_ptr<ChatHistory> history;
    /// The networks this host is on; none when the tests aim broadcasts at loopback.
    std::unique_ptr<NetworkPresence> networks;
    std::vector<HistoryRecord> outboxToRestore; // until the network has started

    // The bounds on what the network can make the window hold.
    QTimer dropReport;               // single shot; runs while dropped lines wait for their note
    std::uint64_t droppedUnread = 0; // entries the full queue dropped, not noted yet
};

/// The one main window, for code that reaches it without a reference (the
/// listener's receive callback). Set by its constructor, cleared by its destructor.
extern CTavrinDlg* mainDialog;

} // namespace kestrane
