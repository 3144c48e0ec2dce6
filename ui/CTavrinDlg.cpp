#include "ui/CTavrinDlg.h"

#include "chat/IncomingHandler.h"
#include "chat/OwnName.h"
#include "chat/PeerName.h"
#include "chat/chat.h"
#include "core/NetworkText.h"
#include "core/alerts/DesktopNotifications.h"
#include "core/delivery/LineDelivery.h"
#include "core/history/ChatHistory.h"
#include "core/instance/InstanceCalls.h"
#include "core/network/NetworkPresence.h"
#include "core/threads/BoundedLookup.h"
#include "core/threads/UiBridge.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstanceLock.h"
#include "port/HostLookup.h"
#include "port/PortOwner.h"
#include "port/port.h"
#include "res/DialogTemplate.h"
#include "res/StringTable.h"
#include "ui/AutoProxyLink.h"
#include "ui/CAboutDlg.h"
#include "ui/CMessageDlg.h"
#include "ui/ChatWindowBridge.h"
#include "ui/DialogBuilder.h"
#include "ui/FileOffers.h"
#include "ui/LogControl.h"
#include "ui/LogMarks.h"
#include "ui/ResourceIcons.h"
#include "ui/WindowMenus.h"
#include "ui/accessibility/Accessibility.h"
#include "ui/alerts/AlertSettings.h"
#include "ui/alerts/LineAlerts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace kestrane {

CTavrinDlg* mainDialog = nullptr;

namespace {

// How often an ending session looks whether the loops it ended have returned.
constexpr std::chrono::milliseconds kEndSessionRetry{10};
constexpr int IDC_LOG = 1000;
constexpr int IDC_MESSAGE = 1001;
constexpr int IDC_ROSTER = 1002;
constexpr int IDC_SEND = 6;
constexpr int IDC_HIDE = 7;
constexpr int ID_HELP = 57670;
constexpr int IDC_SEND_FILE = 1020;
constexpr int IDC_SEND_FOLDER = 1021;
constexpr int IDC_TRANSFERS = 1022;
constexpr int IDC_HISTORY = 1023;
const std::string kBoxCaption = "Kestrane";

template <typename Widget> Widget* Control(QDialog& dialog, int id) {
    return dialog.findChild<Widget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

// The manual page installed with the program: beside it in a build tree,
// under share/kestrane when installed.
QUrl ManualUrl() {
    const QDir programDir(QCoreApplication::applicationDirPath());
    for (const QString& candidate :
         {QStringLiteral("kestrane.html"), QStringLiteral("../share/kestrane/kestrane.html")}) {
        const QFileInfo page(programDir.filePath(candidate));
        if (page.isFile()) {
            return QUrl::fromLocalFile(page.canonicalFilePath());
        }
    }
    return QUrl::fromLocalFile(programDir.filePath(QStringLiteral("kestrane.html")));
}

// "1 incoming line was", "2 incoming lines were".
QString LinesWere(std::uint64_t lines, const char* kind) {
    return lines == 1 ? QStringLiteral("1 %1 line was").arg(QLatin1String(kind))
                      : QStringLiteral("%1 %2 lines were").arg(lines).arg(QLatin1String(kind));
}

bool IsEscape(QEvent* event) {
    return static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
}

std::optional<std::string> ResolveAddress(const std::string& name) {
    if (std::optional<in_addr_t> address = LookUpHostAddress(name.c_str())) {
        return DottedAddress(*address);
    }
    return std::nullopt;
}

} // namespace

CTavrinDlg::CTavrinDlg(Services dialogServices, QWidget* parent)
    : QDialog(parent), icon(ResourceIcons::WindowIcon()), services(std::move(dialogServices)),
      baseLoopLevel(QThread::currentThread()->loopLevel()) {
    if (!services.openUrl) {
        services.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }
    if (!services.lookUpAddress) {
        services.lookUpAddress = ResolveAddress;
    }
    lookups = std::make_unique<BoundedLookup>();
    mainDialog = this;
    DialogBuilder::Build(*this, *FindDialogTemplate(IDD_TAVRIN_DIALOG));
    roster = Control<QComboBox>(*this, IDC_ROSTER);
    messageLine = Control<QLineEdit>(*this, IDC_MESSAGE);
    logView = Control<QPlainTextEdit>(*this, IDC_LOG);
    logControl = std::make_unique<LogControl>(*logView);
    logMarks = std::make_unique<LogMarks>(*logView, logText);
    sentLines = std::make_unique<SentLines>(
        *logMarks, [this](const QString& note) { AppendNote(note); },
        [this](const std::string& name) { return delivery != nullptr && delivery->IsAway(name); });
    hosts =
        std::make_unique<HostRoster>(*roster, [this](const QString& note) { AppendNote(note); });
    alertSettings = std::make_unique<AlertSettings>();
    notifications = std::make_unique<DesktopNotifications>();
    presence = std::make_unique<TrayPresence>(
        *this, services.tray, services.tones, services.queue,
        TrayPresence::Hooks{
            .readLines = [this] { RunMessageDialog(); },
            .offersWaiting = [this] { return offers->WaitingCount() > 0; },
            .showOffers = [this] { offers->OpenTransfers(false); },
            .muted = [this] { return alertSettings->Muted(); },
            .linesRead = [this](bool all) { all ? alerts->AllRead() : alerts->QueueRead(); },
            .showMenu = [this] { menus->ShowTrayMenu(*this); }});
    alerts = std::make_unique<LineAlerts>(
        *this, services.queue, *alertSettings, *notifications,
        LineAlerts::Hooks{.readLine = [this](int index) { presence->ReadLine(index); },
                          .open = [this] { ComeForward(); },
                          .reply = [this](const HistoryEntry& entry,
                                          const QString& text) { return SendReply(entry, text); },
                          .note = [this](const QString& note) { AppendNote(note); }});
    menus = std::make_unique<WindowMenus>(
        *alertSettings, WindowMenus::Items{.readUnread = [this] { ReadUnreadLines(); },
                                           .network = [this] { OnNetwork(); },
                                           .networkReady = [this] { return networks != nullptr; },
                                           .about = [this] { OnSysCommand(IDM_ABOUTBOX); },
                                           .open = [this] { ComeForward(); }});
    offers = std::make_unique<FileOffers>(
        *this, ownName, *presence,
        FileOffers::Hooks{.chosenHost = [this] { return SelectedRecipient(); },
                          .note = [this](const QString& note) { AppendNote(note); },
                          .sendNotice =
                              [this](const std::string& address, const std::string& text) {
                                  return chatSender->SendFileNotice(address, text);
                              },
                          .openUrl = services.openUrl,
                          .changed =
                              [this](const std::vector<FileTransfers::Transfer>& transfers) {
                                  if (history) {
                                      history->FollowOffers(transfers);
                                  }
                              }});
    if (!services.historyFolder.isEmpty()) {
        history = std::make_unique<ChatHistory>(
            services.historyFolder, *this,
            ChatHistory::Hooks{
                .restored = [this](const HistoryStore::Restored& restored) { Restore(restored); },
                .note = [this](const QString& note) { AppendNote(note); }});
        sentLines->RecordIn([this](std::int64_t id, HistoryRecord::Delivery state, bool inOutbox) {
            history->DeliveryChanged(id, state, inOutbox);
        });
        services.queue.left = [this](const HistoryEntry& entry) { history->Read(entry.historyId); };
    }
    ConnectControls();
    WriteControls();
    setWindowIcon(icon);
    dropReport.setSingleShot(true);
    dropReport.setInterval(kDropReportDelay);
    connect(&dropReport, &QTimer::timeout, this, &CTavrinDlg::ReportDroppedLines);
    roster->setFocus();
    ListenForOtherCopies();
}

void CTavrinDlg::ListenForOtherCopies() {
    if (services.instanceLock == nullptr || services.instanceLock->Descriptor() < 0) {
        return;
    }
    instanceCalls = std::make_unique<InstanceCalls>(
        *services.instanceLock,
        InstanceCalls::Hooks{.comeForward =
                                 [this](const ComeForwardRequest& request) {
                                     InstanceCalls::WithActivationToken(request,
                                                                        [this] { ComeForward(); });
                                 },
                             .sendLine =
                                 [this](const ScriptedSend& request, InstanceCalls::Reply reply) {
                                     SendForScript(request, std::move(reply));
                                 }});
}

CTavrinDlg::~CTavrinDlg() {
    DestroyWindow();
    networks.reset();
    if (autoProxy != nullptr) {
        autoProxy->DetachDialog();
    }
    // The listener goes first: its dispatcher may still be waiting on the
    // (closed) bridge, and it uses the members below until it has ended.
    if (listener != nullptr) {
        ReleasePortListener(listener);
        listener = nullptr;
    }
    SetIncomingHandler(nullptr);
    incomingHandler.reset();
    chatWindow.reset();
    delivery.reset();
    chatSender.reset();
    if (connection != nullptr) {
        ReleasePortConnection(connection);
        connection = nullptr;
    }
    PortCleanup();
    if (mainDialog == this) {
        mainDialog = nullptr;
    }
}

void CTavrinDlg::ConnectControls() {
    connect(Control<QPushButton>(*this, IDC_SEND), &QPushButton::clicked, this,
            &CTavrinDlg::OnSend);
    connect(Control<QPushButton>(*this, IDC_HIDE), &QPushButton::clicked, this,
            &CTavrinDlg::HideToTray);
    connect(Control<QPushButton>(*this, ID_HELP), &QPushButton::clicked, this, &CTavrinDlg::OnHelp);
    connect(Control<QPushButton>(*this, IDC_SEND_FILE), &QPushButton::clicked, this,
            [this] { offers->OnSendFiles(false); });
    connect(Control<QPushButton>(*this, IDC_SEND_FOLDER), &QPushButton::clicked, this,
            [this] { offers->OnSendFiles(true); });
    connect(Control<QPushButton>(*this, IDC_TRANSFERS), &QPushButton::clicked, this,
            [this] { offers->OpenTransfers(); });
    auto* historyButton = Control<QPushButton>(*this, IDC_HISTORY);
    historyButton->setEnabled(history != nullptr);
    connect(historyButton, &QPushButton::clicked, this, &CTavrinDlg::OnHistory);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this,
            &CTavrinDlg::OnHistory);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), this),
            &QShortcut::activated, this, &CTavrinDlg::OnNetwork);
    connect(new QShortcut(WindowMenus::kReadUnreadKey, this), &QShortcut::activated, this,
            &CTavrinDlg::ReadUnreadLines);
    // Files dropped anywhere on the window are offered to the chosen host.
    setAcceptDrops(true);
    logView->viewport()->installEventFilter(this);
    logView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(logView, &QWidget::customContextMenuRequested, this, &CTavrinDlg::ShowLogMenu);
    // Esc is seen before any control acts on it.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}

int CTavrinDlg::DoModal() {
    show();
    if (!windowDestroyed) {
        QEventLoop loop;
        connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
        modalLoopRunning = true;
        loop.exec();
        modalLoopRunning = false;
    }
    // Also when the loop ended because the application quits (end of session).
    DestroyWindow();
    return result();
}

void CTavrinDlg::EndSession() {
    endingSession = true;
    while (QWidget* popup = QApplication::activePopupWidget()) {
        if (!popup->close()) {
            break;
        }
    }
    while (QWidget* modal = QApplication::activeModalWidget()) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (modal == this || dialog == nullptr) {
            break;
        }
        dialog->reject();
        if (dialog->isVisible()) {
            break;
        }
    }
    // A box or menu ended above returns from its own event loop only when
    // that loop next runs, and the code that opened it then carries on with
    // the window's members: the window goes once those loops are through.
    const int ownLoops = baseLoopLevel + (modalLoopRunning ? 1 : 0);
    if (QThread::currentThread()->loopLevel() > ownLoops) {
        QTimer::singleShot(kEndSessionRetry, this, &CTavrinDlg::EndSession);
        return;
    }
    done(QDialog::Rejected);
}

bool CTavrinDlg::CanClose() {
    if (autoProxy != nullptr) {
        presence->LeaveScreen();
        return false;
    }
    // Asked only of the person: a signal or the session's end closes through done().
    return offers->MayQuit();
}

void CTavrinDlg::accept() {
    if (CanClose()) {
        ReadControls();
        QDialog::accept();
    }
}

void CTavrinDlg::reject() {
    if (CanClose()) {
        QDialog::reject();
    }
}

void CTavrinDlg::done(int result) {
    QDialog::done(result);
    DestroyWindow();
}

void CTavrinDlg::closeEvent(QCloseEvent* event) {
    // The dialog ends (and hides) through reject(); a refused close leaves it be.
    event->ignore();
    reject();
}

void CTavrinDlg::DestroyWindow() {
    if (windowDestroyed) {
        return;
    }
    windowDestroyed = true;
    presence->Stop();
    // Offers are withdrawn, and transfers stopped, before the goodbye.
    offers->Stop();
    // Nothing is retried or probed once the goodbye is on its way.
    delivery.reset();
    SendLeaving();
    instanceCalls.reset();
    if (services.instanceLock != nullptr) {
        services.instanceLock->Close();
    }
    services.bridge.Close();
    if (history) {
        services.queue.left = {};
        history->Flush(std::chrono::seconds(2));
    }
}

int CTavrinDlg::OnChatMessage(const ChatMessage& message, const std::string& address) {
    HistoryEntry entry;
    ReadControls(); // a half-typed line survives the write below
    logMarks->SetTime(logText.NextLineNumber(), QDateTime::currentDateTime(), false);
    // The name ends no line of the log; the text's own line end does.
    const QString sender = NetworkName(message.sender);
    const QString text = DecodeNetworkText(message.GetText());
    logText += sender;
    logText += " : ";
    logText += text;
    // A line that came without a line end gets one in the log: the next line
    // cannot run on from it, and the log's bound counts it.
    if (!text.endsWith(QLatin1Char('\n')) && !text.endsWith(QLatin1Char('\r'))) {
        logText += "\r\n";
    }
    entry.AppendText(text);
    entry.SetSender(sender);
    entry.senderBytes = message.sender;
    entry.senderAddress = address;
    if (std::string_view(message.sender) != ownName) {
        if (history) {
            entry.historyId = history->Received(entry, true);
        }
        if (services.queue.Append(entry)) {
            ++droppedUnread;
            ReportDroppedLinesSoon();
        }
        const bool looking = presence->Looking();
        presence->NoteUnread(true);
        alerts->LineQueued(entry, looking);
    }
    WriteControls();
    return 1;
}

bool CTavrinDlg::DeliverChatMessage(const ChatMessage& message, const std::string& address) {
    auto copy = std::make_shared<const ChatMessage>(message);
    return services.bridge.Post([this, copy, address] {
        OnChatMessage(*copy, address);
        if (delivery != nullptr && !windowDestroyed) {
            delivery->PlainLineShown(copy->sender, copy->GetText());
        }
    });
}

void CTavrinDlg::ShowDroppedLines(std::uint64_t lines) {
    AppendNote(LinesWere(lines, "incoming") +
               QStringLiteral(" dropped: lines came faster than they can be shown"));
}

void CTavrinDlg::ReportDroppedLinesSoon() {
    if (!dropReport.isActive()) {
        dropReport.start();
    }
}

void CTavrinDlg::ReportDroppedLines() {
    // The handler's count is taken whole, so no drop is noted twice or lost.
    if (const std::uint64_t lines = incomingHandler ? incomingHandler->TakeDroppedLines() : 0) {
        ShowDroppedLines(lines);
    }
    if (droppedUnread > 0) {
        AppendNote(LinesWere(std::exchange(droppedUnread, 0), "unread") +
                   QStringLiteral(" dropped: the queue keeps the newest 1,000"));
    }
}

void CTavrinDlg::AppendNote(const QString& note) {
    if (windowDestroyed) {
        return;
    }
    ReadControls();
    logText += QStringLiteral("*** ") + note + QStringLiteral(" ***\r\n");
    WriteControls();
}

void CTavrinDlg::ReadControls() {
    messageText = messageLine->text();
    logControl->Read(logText);
}

void CTavrinDlg::WriteControls() {
    // Only a changed line is written back, so the caret stays where the user left it.
    if (messageLine->text() != messageText) {
        messageLine->setText(messageText);
    }
    logControl->Write(logText);
}

CTavrinDlg::Recipient CTavrinDlg::SelectedRecipient() const {
    Recipient recipient;
    recipient.index = roster->currentIndex();
    if (recipient.index > 0) {
        recipient.name = hosts->NameAt(recipient.index);
        recipient.address = hosts->AddressOf(recipient.name).value_or(std::string());
    }
    return recipient;
}

void CTavrinDlg::OnSend() {
    // Taken before anything can run the event loop: a box may let the roster
    // change under a send that is under way.
    const Recipient recipient = SelectedRecipient();
    ReadControls();
    if (recipient.index < 0) {
        ShowMessageBox("Choose who gets the line: a host in the list, or << Broadcast >> for "
                       "everybody.",
                       kBoxCaption);
        return;
    }
    const QString line = messageText + QStringLiteral("\r\n");
    if (recipient.index > 0 && recipient.address.empty() && recipient.name != ownName) {
        LookUpAndSend(recipient, line);
        return;
    }
    FinishSend(recipient, line);
}

void CTavrinDlg::LookUpAndSend(Recipient recipient, const QString& line,
                               const SentLines::ScriptReply& reply) {
    if (lookups->Waiting() > 0) {
        const std::string busy = "Kestrane is still looking for the address of a host.";
        if (reply) {
            reply(ScriptedSend::Outcome::Refused,
                  QString::fromStdString(busy + " Send the line again in a moment."));
        } else {
            ShowMessageBox(busy + " The line stays in the message line: send it again in a moment.",
                           kBoxCaption);
        }
        return;
    }
    const std::string name = recipient.name;
    lookups->Start([lookUp = services.lookUpAddress, name] { return lookUp(name); }, kLookupLimit,
                   [this, recipient, line, reply](std::optional<std::string> address) mutable {
                       if (windowDestroyed) {
                           return;
                       }
                       if (!address) {
                           ReportUnsent(SendResult::Unreachable, recipient.name, reply);
                           return;
                       }
                       recipient.address = *address;
                       FinishSend(recipient, line, reply);
                   });
}

void CTavrinDlg::FinishSend(const Recipient& recipient, const QString& line,
                            const SentLines::ScriptReply& reply) {
    const SendResult result = SendText(recipient, line, !reply);
    const QString target = recipient.index == 0
                               ? QStringLiteral("BROADCAST message ")
                               : QStringLiteral("to ") + NetworkName(recipient.name);
    if (result == SendResult::Failed) {
        // The typed line stays, so the user can send it again.
        ReadControls();
        logText += QStringLiteral("Not sent ") + target + QStringLiteral(": ") + line;
        WriteControls();
        if (reply) {
            reply(ScriptedSend::Outcome::NotDelivered,
                  QStringLiteral("Not sent: the network refused the datagram"));
        }
        return;
    }
    if (result != SendResult::Sent) {
        ReportUnsent(result, recipient.name, reply);
        return;
    }
    ReadControls();
    const std::uint64_t logLine = logText.NextLineNumber();
    logText += QStringLiteral("Sent ") + target + QStringLiteral(": ") + line;
    logMarks->SetTime(logLine, QDateTime::currentDateTime(), true);
    if (!reply && messageText + QStringLiteral("\r\n") == line) {
        messageText.clear();
    }
    WriteControls();
    TrackSent(recipient, line, logLine, reply);
}

void CTavrinDlg::TrackSent(const Recipient& recipient, const QString& line, std::uint64_t logLine,
                           const SentLines::ScriptReply& reply) {
    if (recipient.index > 0 && recipient.name == ownName) {
        if (reply) {
            reply(ScriptedSend::Outcome::Delivered,
                  QStringLiteral("Shown here: that is this computer's own name"));
        }
        return;
    }
    const std::string host = recipient.index == 0 ? std::string() : recipient.name;
    const std::optional<LineDelivery::Status> status =
        trackedSend && delivery ? delivery->StatusOf(*trackedSend) : std::nullopt;
    const bool tracked = status && status->expected > 0;
    SentLines::Sent sent{.logLine = logLine,
                         .host = host,
                         .text = line.chopped(2),
                         .withoutReceipts = recipient.index == 0 ? HostsWithoutReceipts() : 0,
                         .reply = reply,
                         .historyId = RecordSent(host, hosts->AddressOf(host).value_or(""), line,
                                                 tracked ? trackedSend : std::nullopt)};
    if (!tracked) {
        sentLines->Untracked(sent);
        return;
    }
    sentLines->Track(*trackedSend, std::move(sent), *status);
}

std::size_t CTavrinDlg::HostsWithoutReceipts() const {
    std::size_t count = 0;
    for (const std::string& name : hosts->Names()) {
        count += delivery == nullptr || !delivery->SpeaksDelivery(name) ? 1 : 0;
    }
    return count;
}

void CTavrinDlg::ReportUnsent(SendResult result, const std::string& host,
                              const SentLines::ScriptReply& reply) {
    std::string text;
    switch (result) {
    case SendResult::TooLong: {
        const int longest = chatSender != nullptr ? chatSender->LongestText() : 0;
        text = "This line is too long to send: a message holds at most " + std::to_string(longest) +
               " bytes, line end included.";
        break;
    }
    case SendResult::NoConnection:
        text = "The network is not started, so nothing can be sent.";
        break;
    case SendResult::NoName:
        text = reply ? "The network is still starting: send the line again in a moment."
                     : "The network is still starting. The line stays in the message line: "
                       "send it again in a moment.";
        break;
    case SendResult::Unreachable:
        text = NetworkName(host).toStdString() +
               " cannot be reached: it has not been heard from, and the name did not resolve "
               "within a second. The line was not sent.";
        break;
    case SendResult::Sent:
    case SendResult::Failed:
        return;
    }
    if (reply) {
        reply(ScriptedSend::Outcome::Refused, QString::fromStdString(text));
    } else {
        ShowMessageBox(text, kBoxCaption);
    }
}

SendResult CTavrinDlg::SendText(const Recipient& recipient, const QString& line, bool keep) {
    trackedSend.reset();
    if (chatSender == nullptr) {
        return SendResult::NoConnection;
    }
    const std::string bytes = EncodeNetworkText(line).toStdString();
    if (recipient.index == 0) {
        const SendResult result = chatSender->BroadcastText(bytes);
        if (result == SendResult::Sent && delivery != nullptr) {
            trackedSend = delivery->AfterBroadcast(bytes);
        }
        return result;
    }
    ReadControls();
    if (recipient.name == ownName) {
        logText += NetworkName(ownName) + QStringLiteral(" : ") + line;
        WriteControls();
        return SendResult::Sent;
    }
    // A Kestrane host gets the line with a receipt asked for, and only so.
    if (delivery != nullptr && delivery->SpeaksDelivery(recipient.name) &&
        IsDottedAddress(recipient.address)) {
        trackedSend = delivery->SendToOne({recipient.name, recipient.address}, bytes, keep);
    }
    const SendResult result =
        trackedSend ? SendResult::Sent : chatSender->SendText(recipient.address, bytes);
    if (result == SendResult::Sent) {
        logText += line;
        WriteControls();
    }
    return result;
}

void CTavrinDlg::StartNetwork() {
    OpenNetwork(CHAT_PORT, nullptr);
    LearnOwnName();
}

void CTavrinDlg::OpenNetwork(int port, const char* broadcastHost) {
    PortStartup();
    if (CreatePortConnection(broadcastHost, port, PORT_MODE_UDP, nullptr, nullptr, &connection) !=
        0) {
        connection = nullptr;
    }
    chatSender = std::make_unique<ChatSender>(connection, port, broadcastHost);
    if (broadcastHost == nullptr && connection != nullptr) {
        networks = std::make_unique<NetworkPresence>(
            NetworkPresence::Hooks{
                .helloOn = [this](unsigned index) { chatSender->SendHelloOn(index); },
                .hello = [this] { chatSender->SendHello(false); },
                .forgetHosts = [this](const auto& lost) { return ForgetHosts(lost); },
                .note = [this](const QString& note) { AppendNote(note); }},
            *lookups, this);
        networks->Prepare();
    }
    delivery = std::make_unique<LineDelivery>(
        *chatSender,
        LineDelivery::Hooks{
            .show = [this](const ChatMessage& line,
                           const std::string& address) { OnChatMessage(line, address); },
            .changed =
                [this](LineDelivery::LineKey key, const LineDelivery::Status& status) {
                    sentLines->Changed(key, status);
                },
            .away = [this](const std::string& name, bool away) { hosts->SetAway(name, away); }});
    chatWindow = std::make_unique<ChatWindowBridge>(*this, services.bridge);
    offers->Start(port);
    incomingHandler = std::make_unique<IncomingHandler>(*chatWindow, *chatSender);
    SetIncomingHandler(incomingHandler.get());
    if (CreatePortListener(LISTEN_UDP, port, OnDatagram, nullptr, nullptr, &listener) != 0) {
        listener = nullptr;
        ShowMessageBox(PortTakenText(port), kBoxCaption);
    }
}

std::string CTavrinDlg::PortTakenText(int port) {
    const std::optional<uid_t> owner = UdpPortOwner(port);
    const std::string holder =
        owner && *owner != ::getuid()
            ? "a program of another user of this computer (" + UserName(*owner) +
                  "): on one computer only one user at a time can receive Kestrane's messages"
            : "another program";
    return "Kestrane cannot receive messages: UDP port " + std::to_string(port) + " is in use by " +
           holder + ". Lines can still be sent.";
}

void CTavrinDlg::LearnOwnName() {
    const std::optional<std::string> hostName = LocalHostName();
    if (!hostName) {
        CompleteNetworkStart(std::nullopt);
        return;
    }
    // The canonical name may take a dead name server many seconds; the window,
    // the tray and the signals stay live meanwhile.
    lookups->Start([hostName] { return std::optional(CanonicalNameOf(*hostName)); }, kLookupLimit,
                   [this, hostName](std::optional<std::string> canonical) {
                       if (!canonical) {
                           AppendNote(
                               QStringLiteral("The resolver did not give this computer's full "
                                              "name within a second: Kestrane calls itself %1")
                                   .arg(NetworkName(OwnNameFromCanonical(*hostName))));
                       }
                       CompleteNetworkStart(OwnNameFromCanonical(canonical.value_or(*hostName)));
                   });
}

void CTavrinDlg::CompleteNetworkStart(const std::optional<std::string>& name) {
    if (windowDestroyed || networkStarted) {
        return;
    }
    if (!name) {
        ShowMessageBox("gethostname( .. ) returned error.", "ERROR");
        // Ends the program through the dialog, so the threads stop in order.
        QMetaObject::invokeMethod(
            this, [this] { done(QDialog::Rejected); }, Qt::QueuedConnection);
        return;
    }
    ownName = *name;
    // Before the hello: when it cannot go out (no network yet), its error box
    // waits for the user, and a network that comes meanwhile is greeted all the same.
    if (networks != nullptr) {
        networks->Greeted();
    }
    if (chatSender != nullptr) {
        chatSender->PublishOwnName(ownName);
        chatSender->SendHello();
        delivery->Started();
    }
    networkStarted = true;
    RestoreOutbox();
    hosts->ListBroadcast();
    WriteControls();
    presence->OnNetworkStarted();
}

SendResult CTavrinDlg::SendReply(const HistoryEntry& entry, const QString& text) {
    if (chatSender == nullptr) {
        return SendResult::NoConnection;
    }
    std::string address = entry.senderAddress;
    if (address.empty() && !entry.senderBytes.empty()) {
        address = hosts->AddressOf(entry.senderBytes).value_or(std::string());
    }
    if (address.empty()) {
        return SendResult::Unreachable;
    }
    const std::string bytes = EncodeNetworkText(text).toStdString();
    if (delivery != nullptr && delivery->SpeaksDelivery(entry.senderBytes) &&
        IsDottedAddress(address)) {
        if (const std::optional<LineDelivery::LineKey> key =
                delivery->SendToOne({entry.senderBytes, address}, bytes)) {
            sentLines->Track(
                *key,
                {.logLine = std::nullopt,
                 .host = entry.senderBytes,
                 .text = text.endsWith(QStringLiteral("\r\n")) ? text.chopped(2) : text,
                 .withoutReceipts = 0,
                 .reply = {},
                 .historyId = RecordSent(entry.senderBytes, address, text, key)},
                *delivery->StatusOf(*key));
            return SendResult::Sent;
        }
    }
    const SendResult result = chatSender->SendReply(address, bytes);
    if (result == SendResult::Sent) {
        RecordSent(entry.senderBytes, address, text, std::nullopt);
    }
    return result;
}

std::int64_t CTavrinDlg::RecordSent(const std::string& host, const std::string& address,
                                    const QString& line, std::optional<SentLines::LineKey> key) {
    if (!history) {
        return 0;
    }
    return history->Sent(host, address, line, key ? delivery->IdOf(*key) : std::string(),
                         key ? HistoryRecord::Delivery::Pending
                             : HistoryRecord::Delivery::NoReceipts);
}

void CTavrinDlg::Restore(const HistoryStore::Restored& restored) {
    if (windowDestroyed) {
        return;
    }
    for (const HistoryRecord& record : restored.unread) {
        HistoryEntry entry;
        entry.SetSender(record.peer);
        entry.AppendText(record.text);
        entry.senderBytes = EncodeNetworkText(record.peer).toStdString();
        entry.senderAddress = record.address.toStdString();
        entry.historyId = record.id;
        services.queue.Append(entry);
    }
    if (!restored.unread.empty()) {
        presence->NoteRestored(static_cast<int>(restored.unread.size()));
        AppendNote(LinesWere(restored.unread.size(), "unread") +
                   QStringLiteral(" left when Kestrane last ended; they wait to be read"));
    }
    outboxToRestore = restored.outbox;
    if (!outboxToRestore.empty()) {
        AppendNote(QStringLiteral("%1 left in the outbox when Kestrane last ended; each goes "
                                  "when its host is heard from")
                       .arg(outboxToRestore.size() == 1
                                ? QStringLiteral("1 line was")
                                : QStringLiteral("%1 lines were").arg(outboxToRestore.size())));
    }
    RestoreOutbox();
}

void CTavrinDlg::RestoreOutbox() {
    if (!networkStarted || delivery == nullptr) {
        return;
    }
    for (const HistoryRecord& record : std::exchange(outboxToRestore, {})) {
        const std::string host = EncodeNetworkText(record.peer).toStdString();
        const std::string address = hosts->AddressOf(host).value_or(record.address.toStdString());
        const LineDelivery::LineKey key =
            delivery->Restore({host, address}, record.receiptId.toStdString(),
                              EncodeNetworkText(record.text).toStdString());
        sentLines->Track(key,
                         {.logLine = std::nullopt,
                          .host = host,
                          .text = record.text.endsWith(QStringLiteral("\r\n"))
                                      ? record.text.chopped(2)
                                      : record.text,
                          .withoutReceipts = 0,
                          .reply = {},
                          .historyId = record.id,
                          .restored = true},
                         *delivery->StatusOf(key));
    }
}

void CTavrinDlg::OnHistory() {
    if (history) {
        history->ShowWindow();
    }
}

int CTavrinDlg::SendLeaving() {
    if (chatSender == nullptr) {
        return -1;
    }
    return chatSender->SendLeaving(!endingSession) == SendResult::Sent ? 0 : -1;
}

void CTavrinDlg::AddPeer(const std::string& name, const std::string& address) {
    if (!windowDestroyed && MayListPeer(name, ownName)) {
        hosts->Add(name, address);
        if (networks != nullptr && !address.empty()) {
            networks->Heard(name, address);
        }
        if (delivery != nullptr) {
            delivery->Heard(name, address);
        }
    }
}

void CTavrinDlg::RemovePeer(const std::string& name) {
    if (!windowDestroyed && !name.empty()) {
        hosts->Remove(name);
        if (delivery != nullptr) {
            delivery->Left(name);
        }
    }
}

int CTavrinDlg::ForgetHosts(const std::function<bool(const std::string& address)>& lost) {
    int forgotten = 0;
    for (const std::string& name : hosts->Names()) {
        if (const std::optional<std::string> address = hosts->AddressOf(name);
            address && lost(*address)) {
            RemovePeer(name);
            ++forgotten;
        }
    }
    return forgotten;
}

void CTavrinDlg::OnNetwork() {
    if (networks != nullptr) {
        networks->ShowView();
    }
}

void CTavrinDlg::RunMessageDialog() {
    CMessageDlg dialog(
        services.queue, services.tones,
        [this](const HistoryEntry& entry, const QString& text) { return SendReply(entry, text); },
        nullptr);
    dialog.exec();
}

void CTavrinDlg::OnHelp() {
    services.openUrl(ManualUrl());
}

void CTavrinDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0u) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CTavrinDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menus->AddItems(menu);
    menu.exec(event->globalPos());
}

void CTavrinDlg::ShowLogMenu(const QPoint& position) {
    std::unique_ptr<QMenu> menu(logView->createStandardContextMenu(position));
    if (const std::optional<std::uint64_t> line = logMarks->LineAt(position);
        line && (logMarks->LookOf(*line) == LineLook::NotDelivered ||
                 logMarks->LookOf(*line) == LineLook::Partly)) {
        menu->insertAction(menu->actions().value(0),
                           menu->addAction(QStringLiteral("Send &again"), this,
                                           [this, line = *line] { SendAgain(line); }));
        menu->insertSeparator(menu->actions().value(1));
    }
    menus->AddItems(*menu);
    menu->exec(logView->viewport()->mapToGlobal(position));
}

void CTavrinDlg::ReadUnreadLines() {
    if (!presence->ReadUnreadLines()) {
        Accessibility::Announce(*this, QStringLiteral("No unread lines"));
    }
}

bool CTavrinDlg::eventFilter(QObject* watched, QEvent* event) {
    if (offers->TakeFileDrop(event)) {
        return true;
    }
    // Esc hides, in any control, and never ends the dialog; its key-up goes nowhere.
    if (event->type() == QEvent::KeyPress && IsEscape(event)) {
        HideToTray();
        return true;
    }
    if (event->type() == QEvent::KeyRelease && IsEscape(event)) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CTavrinDlg::OnFileNotice(const ChatMessage& message, const std::string& address) {
    if (windowDestroyed) {
        return;
    }
    AddPeer(message.sender, address);
    offers->OnFileNotice(message, address);
}

void CTavrinDlg::OnDeliveryNotice(const ChatMessage& message, const std::string& address) {
    if (windowDestroyed || delivery == nullptr) {
        return;
    }
    AddPeer(message.sender, address);
    delivery->OnNotice(message, address);
}

void CTavrinDlg::OnHelloHeard() {
    if (!windowDestroyed && delivery != nullptr) {
        delivery->HelloHeard();
    }
}

void CTavrinDlg::SendAgain(std::uint64_t logLine) {
    if (const std::optional<LineDelivery::LineKey> key = sentLines->KeyAt(logLine);
        key && delivery != nullptr) {
        delivery->Retry(*key);
    }
}

void CTavrinDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    OnShowWindow();
}

void CTavrinDlg::OnShowWindow() {
    if (networkStarted || networkStarting) {
        return;
    }
    networkStarting = true;
    StartNetwork();
}

void CTavrinDlg::HideToTray() {
    presence->HideToTray();
}

void CTavrinDlg::ComeForward() {
    // The start that asked may have changed the quiet settings.
    alertSettings->Reload();
    presence->ComeForward();
}

void CTavrinDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isVisible()) {
        presence->OnWindowStateChange(event->spontaneous());
    } else if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        presence->OnWindowActivated();
    }
}

void CTavrinDlg::SendForScript(
    const ScriptedSend& request,
    std::function<void(ScriptedSend::Outcome, const QString& message)> reply) {
    if (windowDestroyed || !networkStarted || chatSender == nullptr) {
        reply(ScriptedSend::Outcome::Refused,
              QStringLiteral(
                  "Kestrane's network is still starting: send the line again in a moment."));
        return;
    }
    Recipient recipient{.index = 0, .name = {}, .address = {}};
    if (!request.toEverybody) {
        recipient.index = hosts->Find(request.to);
        if (recipient.index > 0) {
            recipient.name = hosts->NameAt(recipient.index);
            recipient.address = hosts->AddressOf(recipient.name).value_or(std::string());
        } else {
            // Not listed: a name is looked up as the person's own send does; an
            // address is used as it stands.
            recipient.index = 1;
            recipient.name = request.to;
            recipient.address = IsDottedAddress(request.to) ? request.to : std::string();
        }
    }
    const QString line = QString::fromUtf8(request.text) + QStringLiteral("\r\n");
    if (recipient.index > 0 && recipient.address.empty() && recipient.name != ownName) {
        LookUpAndSend(recipient, line, reply);
        return;
    }
    FinishSend(recipient, line, reply);
}

} // namespace kestrane
