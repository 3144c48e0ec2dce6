#include "ui/CTavrinDlg.h"

#include "chat/chat.h"
#include "core/NetworkText.h"
#include "core/alerts/DesktopNotifications.h"
#include "core/delivery/LineDelivery.h"
#include "core/delivery/LineLook.h"
#include "core/history/ChatHistory.h"
#include "core/roster/HostRoster.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "platform/MessageBox.h"
#include "res/DialogTemplate.h"
#include "ui/AutoProxyLink.h"
#include "ui/CMessageDlg.h"
#include "ui/CloseChoice.h"
#include "ui/DialogBuilder.h"
#include "ui/FileOffers.h"
#include "ui/FirstStart.h"
#include "ui/LogPane.h"
#include "ui/MainTabOrder.h"
#include "ui/ResourceIcons.h"
#include "ui/RosterBox.h"
#include "ui/TextBox.h"
#include "ui/ToolWindows.h"
#include "ui/TrayIcon.h"
#include "ui/UiMessageBox.h"
#include "ui/WindowMenus.h"
#include "ui/WindowStretch.h"
#include "ui/alerts/AlertSettings.h"
#include "ui/alerts/LineAlerts.h"
#include "ui/trust/EverybodyNote.h"
#include "ui/trust/TrustPrompts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <utility>

namespace kestrane {

CTavrinDlg* mainDialog = nullptr;

namespace {

// How often an ending session looks whether the loops it ended have returned.
constexpr std::chrono::milliseconds kEndSessionRetry{10};
// How long the first start's note waits for answers to the hello.
constexpr std::chrono::seconds kWelcomeWait{2};
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

bool IsEscape(QEvent* event) {
    return static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
}

} // namespace

CTavrinDlg::CTavrinDlg(Services dialogServices, QWidget* parent)
    : QDialog(parent), icon(ResourceIcons::WindowIcon()), services(std::move(dialogServices)),
      baseLoopLevel(QThread::currentThread()->loopLevel()) {
    if (!services.openUrl) {
        services.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }
    mainDialog = this;
    session = std::make_unique<ChatSession>(
        ChatSession::Services{.view = *this,
                              .queue = services.queue,
                              .bridge = services.bridge,
                              .instanceLock = services.instanceLock,
                              .lookUpAddress = services.lookUpAddress,
                              .historyFolder = services.historyFolder});
    tools = std::make_unique<ToolWindows>(*this, *session, services.openUrl);
    logPane = std::make_unique<LogPane>(
        logText, LogPane::Hooks{
                     .sendAgain = [this](std::uint64_t line) { session->Lines().SendAgain(line); },
                     .addItems =
                         [this](QMenu& menu) {
                             trust->AddItems(menu, ChosenRecipient().name);
                             everybody->AddItem(menu);
                             menus->AddItems(menu);
                         },
                     .replyTo = [this](const std::string& host) { ReplyTo(host); }});
    trust = new TrustPrompts(*this, session->Keys(), session->Identity());
    everybody = new EverybodyNote(*this, [this] {
        return session->Delivery() != nullptr
                   ? static_cast<int>(session->Delivery()->PrivateHostsPresent().size())
                   : 0;
    });
    MakeParts();
    setWindowTitle(QString::fromUtf8(FindDialogTemplate(IDD_TAVRIN_DIALOG)->caption));
    setWindowIcon(icon);
    if (!services.tray.IsAvailable()) {
        MakeControls(); // shown at the start anyway, as the way back from the taskbar
    }
    session->ListenForOtherCopies();
}

void CTavrinDlg::setVisible(bool visible) {
    if (visible && roster == nullptr) {
        MakeControls();
    }
    QDialog::setVisible(visible);
}

void CTavrinDlg::MakeControls() {
    // The unread count may already be in the title.
    const QString title = windowTitle();
    DialogBuilder::Build(*this, *FindDialogTemplate(IDD_TAVRIN_DIALOG));
    setWindowTitle(title);
    roster = Control<QComboBox>(*this, IDC_ROSTER);
    messageLine = Control<QLineEdit>(*this, IDC_MESSAGE);
    logPane->Show(*Control<TextBox>(*this, IDC_LOG));
    MainTabOrder::Arrange(*this);
    // The log takes what the window grows by, between the key-change bar and
    // the note on lines to everybody.
    auto* stretch = new WindowStretch(*this, *logPane->View());
    trust->Attach(*stretch);
    rosterBox = new RosterBox(*roster, session->Hosts());
    everybody->Attach(*stretch, *roster);
    ConnectControls();
    if (session->NetworkStarted()) {
        roster->setCurrentIndex(0);
    }
    WriteControls();
    roster->setFocus();
}

void CTavrinDlg::MakeParts() {
    alertSettings = std::make_unique<AlertSettings>();
    notifications = std::make_unique<DesktopNotifications>(
        services.desktopBus.value_or(QDBusConnection::sessionBus()));
    UnreadLines& unread = session->Unread();
    presence = std::make_unique<TrayPresence>(
        *this, services.tray, services.tones, services.queue, unread,
        TrayPresence::Hooks{.readLines = [this] { RunMessageDialog(); },
                            .offersWaiting = [this] { return offers->WaitingCount() > 0; },
                            .showOffers = [this] { offers->OpenTransfers(false); },
                            .muted = [this] { return alertSettings->Muted(); },
                            .showMenu = [this] { menus->ShowTrayMenu(); }});
    alerts = std::make_unique<LineAlerts>(
        *this, services.queue, unread, *alertSettings, *notifications,
        LineAlerts::Hooks{.readLine = [this](int index) { presence->ReadLine(index); },
                          .open = [this] { ComeForward(); },
                          .reply = [this](const HistoryEntry& entry,
                                          const QString& text) { return SendReply(entry, text); },
                          .note = [this](const QString& note) { session->Note(note); }});
    unread.FollowChanges([this, &unread] {
        presence->ShowUnread();
        alerts->UnreadChanged();
        menus->ShowWaiting(unread.Count(), services.queue.Size());
        tools->UnreadChanged();
    });
    menus = std::make_unique<WindowMenus>(
        *alertSettings,
        WindowMenus::Items{.readUnread = [this] { presence->ReadUnreadLines(); },
                           .readQueued = [this] { presence->ReadLine(services.queue.Size() - 1); },
                           .conversations = [this] { tools->ShowConversations(); },
                           .network = [this] { tools->ShowNetwork(); },
                           .networkReady = [this] { return session->Networks() != nullptr; },
                           .about = [this] { OnSysCommand(IDM_ABOUTBOX); },
                           .open = [this] { ComeForward(); },
                           .quit = [this] { reject(); }});
    services.tray.SetStatusNotifierMenu(&menus->TrayMenu());
    offers = std::make_unique<FileOffers>(
        *this, session->OwnName(), *presence, *notifications, *alertSettings,
        FileOffers::Hooks{.chosenHost = [this] { return ChosenRecipient(); },
                          .transfers = [this] { return session->Transfers(); },
                          .openUrl = services.openUrl});
}

CTavrinDlg::~CTavrinDlg() {
    DestroyWindow();
    if (autoProxy != nullptr) {
        autoProxy->DetachDialog();
    }
    tools.reset(); // they read what the session keeps
    session.reset();
    if (mainDialog == this) {
        mainDialog = nullptr;
    }
}

void CTavrinDlg::ConnectControls() {
    connect(Control<QPushButton>(*this, IDC_SEND), &QPushButton::clicked, this,
            &CTavrinDlg::OnSend);
    connect(Control<QPushButton>(*this, IDC_HIDE), &QPushButton::clicked, this,
            &CTavrinDlg::HideToTray);
    connect(Control<QPushButton>(*this, ID_HELP), &QPushButton::clicked, this,
            [this] { tools->ShowManual(); });
    connect(Control<QPushButton>(*this, IDC_SEND_FILE), &QPushButton::clicked, this,
            [this] { offers->OnSendFiles(false); });
    connect(Control<QPushButton>(*this, IDC_SEND_FOLDER), &QPushButton::clicked, this,
            [this] { offers->OnSendFiles(true); });
    connect(Control<QPushButton>(*this, IDC_TRANSFERS), &QPushButton::clicked, this,
            [this] { offers->OpenTransfers(); });
    auto* historyButton = Control<QPushButton>(*this, IDC_HISTORY);
    historyButton->setEnabled(session->History() != nullptr);
    const auto showHistory = [this] { tools->ShowHistory(); };
    connect(historyButton, &QPushButton::clicked, this, showHistory);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this,
            showHistory);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), this),
            &QShortcut::activated, this, [this] { tools->ShowNetwork(); });
    connect(new QShortcut(WindowMenus::kReadUnreadKey, this), &QShortcut::activated, this,
            [this] { presence->ReadUnreadLines(); });
    connect(new QShortcut(WindowMenus::kConversationsKey, this), &QShortcut::activated, this,
            [this] { tools->ShowConversations(); });
    // Files dropped anywhere on the window are offered to the chosen host.
    setAcceptDrops(true);
    logPane->View()->viewport()->installEventFilter(this);
    // Esc is seen before any control acts on it.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}

void CTavrinDlg::DestroyWindow() {
    if (windowDestroyed) {
        return;
    }
    windowDestroyed = true;
    presence->Stop();
    services.tray.SetStatusNotifierMenu(nullptr); // the menus go with the window
    // Offers are withdrawn, and transfers stopped, before the goodbye.
    offers->Stop();
    session->End(endingSession);
}

void CTavrinDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0u) == IDM_ABOUTBOX) {
        tools->ShowAbout();
    }
}

void CTavrinDlg::StartNetwork() {
    session->Start();
}

std::uint64_t CTavrinDlg::Log(const QString& text, Stamp stamp) {
    ReadControls(); // a half-typed line survives the write below
    const std::uint64_t line = logPane->Append(text, stamp);
    WriteControls();
    return line;
}

void CTavrinDlg::SetMark(std::uint64_t logLine, LineLook look, const QString& words) {
    logPane->SetMark(logLine, look, words);
}

void CTavrinDlg::SetTrust(std::uint64_t logLine, LineTrust lineTrust, const QString& sender) {
    logPane->SetTrust(logLine, lineTrust, sender);
}

void CTavrinDlg::ReplyTo(const std::string& host) {
    if (rosterBox->Choose(host)) {
        messageLine->setFocus();
    } else {
        session->Note(NetworkName(host) + QStringLiteral(" is not in the list now: it went away"));
    }
}

void CTavrinDlg::LineQueued(const HistoryEntry& entry) {
    if (entry.logLine) {
        logPane->SetSender(*entry.logLine, entry.senderBytes);
    }
    if (messageDialog != nullptr) {
        messageDialog->ShowPlace();
    }
    presence->NoteLine(entry.seen);
    alerts->LineQueued(entry);
}

bool CTavrinDlg::PersonLooking(const HistoryEntry& entry) const {
    return presence->Looking() || tools->Looking(entry);
}

void CTavrinDlg::UnreadRestored(int) {
    alerts->LinesRestored();
}

void CTavrinDlg::OfferArrived() {
    offers->AlertOffer();
}

void CTavrinDlg::KeysChanged(const std::string&) {
    trust->KeysChanged();
    everybody->Update();
}

void CTavrinDlg::NetworkStarted(const std::string& ownName) {
    presence->ShowOwnName(DecodeNetworkText(ownName));
    if (roster != nullptr) {
        roster->setCurrentIndex(0);
    }
    WriteControls();
    presence->OnNetworkStarted();
    if (welcoming) {
        QTimer::singleShot(kWelcomeWait, this, [this] {
            session->Note(FirstStart::Note(DecodeNetworkText(session->OwnName()),
                                           session->Hosts().Names().size()));
        });
    }
}

void CTavrinDlg::EndRequested() {
    // Ends the program through the dialog, so the threads stop in order.
    QMetaObject::invokeMethod(
        this, [this] { done(QDialog::Rejected); }, Qt::QueuedConnection);
}

void CTavrinDlg::OnSend() {
    // Taken before anything can run the event loop: a box may let the roster
    // change under a send that is under way.
    const Recipient recipient = ChosenRecipient();
    ReadControls();
    if (recipient.index < 0) {
        ShowMessageBox("Choose who gets the line: a host in the list, or << Broadcast >> for "
                       "everybody.",
                       kBoxCaption);
        return;
    }
    const QString line = messageText + QStringLiteral("\r\n");
    session->Lines().Send(recipient, line, {}, [this, line](SendResult result) {
        // The message line clears only when the line went out and the person
        // has not typed another meanwhile.
        ReadControls();
        if (result == SendResult::Sent && messageText + QStringLiteral("\r\n") == line) {
            messageText.clear();
            WriteControls();
        }
    });
}

SendResult CTavrinDlg::SendReply(const HistoryEntry& entry, const QString& text) {
    return session->Lines().SendReply(entry, text);
}

int CTavrinDlg::DoModal() {
    // With a notification area the window starts behind its icon and is not
    // shown at all: the network starts as the first show would start it.
    welcoming = FirstStart::Claim();
    if (services.tray.IsAvailable() && !welcoming) {
        StartBehindIcon();
    } else {
        if (welcoming) {
            presence->StartOnScreen();
        }
        show();
    }
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

void CTavrinDlg::StartBehindIcon() {
    presence->StartBehindIcon();
    StartNetworkOnce();
}

void CTavrinDlg::EndSession() {
    endingSession = true;
    CloseMenusAndBoxesAbove(*this);
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
    // Behind a tray the person may rather keep the program running there.
    event->ignore();
    const CloseChoice::Answer answer = services.tray.IsAvailable() && !endingSession
                                           ? menus->CloseButton().Decide(*this)
                                           : CloseChoice::Answer::Quit;
    if (answer == CloseChoice::Answer::Hide) {
        HideToTray();
    } else if (answer == CloseChoice::Answer::Quit) {
        reject();
    }
}

Recipient CTavrinDlg::ChosenRecipient() const {
    return rosterBox != nullptr ? rosterBox->Chosen() : Recipient{};
}

void CTavrinDlg::ReadControls() {
    if (messageLine == nullptr) {
        return; // nothing shown yet: the members are all there is
    }
    messageText = messageLine->text();
    logPane->Read();
}

void CTavrinDlg::WriteControls() {
    if (messageLine == nullptr) {
        return;
    }
    // Only a changed line is written back, so the caret stays where the user left it.
    if (messageLine->text() != messageText) {
        messageLine->setText(messageText);
    }
    logPane->Write();
}

void CTavrinDlg::RunMessageDialog() {
    CMessageDlg dialog(
        services.queue, session->Unread(), services.tones,
        [this](const HistoryEntry& entry, const QString& text) { return SendReply(entry, text); },
        nullptr);
    messageDialog = &dialog;
    dialog.exec();
    messageDialog = nullptr;
}

void CTavrinDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    trust->AddItems(menu, ChosenRecipient().name);
    everybody->AddItem(menu);
    menus->AddItems(menu);
    menu.exec(event->globalPos());
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

void CTavrinDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    StartNetworkOnce();
}

void CTavrinDlg::StartNetworkOnce() {
    if (!session->NetworkStarted() && !std::exchange(networkStarting, true)) {
        StartNetwork();
    }
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

} // namespace kestrane
