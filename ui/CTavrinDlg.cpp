#include "ui/CTavrinDlg.h"

#include "chat/chat.h"
#include "platform/SingleInstanceLock.h"
#include "platform/ToneSink.h"
#include "port/port.h"
#include "res/DialogTemplate.h"
#include "res/StringTable.h"
#include "ui/AutoProxyLink.h"
#include "ui/CAboutDlg.h"
#include "ui/DialogBuilder.h"
#include "ui/HistoryEntry.h"
#include "ui/LogControl.h"
#include "ui/MessageQueue.h"
#include "ui/NetworkText.h"
#include "ui/ResourceIcons.h"
#include "ui/TrayIcon.h"
#include "ui/UiBridge.h"

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
#include <QUrl>
#include <string_view>

namespace kestrane {

CTavrinDlg* mainDialog = nullptr;

namespace {

constexpr int kTickMilliseconds = 500;
constexpr int IDC_LOG = 1000;
constexpr int IDC_MESSAGE = 1001;
constexpr int IDC_ROSTER = 1002;
constexpr int IDC_SEND = 6;
constexpr int IDC_HIDE = 7;
constexpr int ID_HELP = 57670;
const QString kBroadcastEntry = QStringLiteral("<< Broadcast >>");

// The three rising tones of an unread line.
const std::vector<Tone> kChime{{300, 100}, {500, 100}, {800, 100}};

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

bool IsEscape(QEvent* event) {
    return static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
}

} // namespace

CTavrinDlg::CTavrinDlg(Services dialogServices, QWidget* parent)
    : QDialog(parent), icon(ResourceIcons::WindowIcon()), services(std::move(dialogServices)) {
    if (!services.openUrl) {
        services.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }
    mainDialog = this;
    DialogBuilder::Build(*this, *FindDialogTemplate(IDD_TAVRIN_DIALOG));
    roster = Control<QComboBox>(*this, IDC_ROSTER);
    messageLine = Control<QLineEdit>(*this, IDC_MESSAGE);
    logView = Control<QPlainTextEdit>(*this, IDC_LOG);
    logControl = std::make_unique<LogControl>(*logView);
    ConnectControls();
    WriteControls();
    setWindowIcon(icon);
    timer.setInterval(kTickMilliseconds);
    connect(&timer, &QTimer::timeout, this, &CTavrinDlg::OnTimer);
    timer.start();
    roster->setFocus();
}

CTavrinDlg::~CTavrinDlg() {
    DestroyWindow();
    if (autoProxy != nullptr) {
        autoProxy->DetachDialog();
    }
    // The listener goes first: its dispatcher may still be waiting on the
    // (closed) bridge, and it uses the members below until it has ended.
    if (listener != nullptr) {
        ReleasePortListener(listener);
        listener = nullptr;
    }
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
    connect(&services.tray.Icon(), &QSystemTrayIcon::activated, this, &CTavrinDlg::OnTrayNotify);
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
        loop.exec();
    }
    // Also when the loop ended because the application quits (end of session).
    DestroyWindow();
    return result();
}

void CTavrinDlg::EndSession() {
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
    done(QDialog::Rejected);
}

bool CTavrinDlg::CanClose() {
    if (autoProxy != nullptr) {
        LeaveScreen();
        return false;
    }
    return true;
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
    if (CanClose()) {
        reject();
    }
}

void CTavrinDlg::DestroyWindow() {
    if (windowDestroyed) {
        return;
    }
    windowDestroyed = true;
    timer.stop();
    TrayRemove(services.tray);
    SendLeaving();
    if (services.instanceLock != nullptr) {
        services.instanceLock->Close();
    }
    services.bridge.Close();
}

int CTavrinDlg::OnChatMessage(const ChatMessage& message) {
    HistoryEntry entry;
    ReadControls(); // a half-typed line survives the write below
    const QString sender = DecodeNetworkText(message.sender);
    const QString text = DecodeNetworkText(message.GetText());
    logText += sender;
    logText += " : ";
    logText += text;
    entry.AppendText(text);
    entry.SetSender(sender);
    if (std::string_view(message.sender) != ownName) {
        services.queue.Append(entry);
        if (hidden) {
            services.tones.Play(kChime);
            if (!services.tray.IsAvailable()) {
                QApplication::alert(this);
            }
        }
        unreadPending = true;
    }
    WriteControls();
    return 1;
}

bool CTavrinDlg::DeliverChatMessage(const ChatMessage& message) {
    return services.bridge.Call([this, &message] { OnChatMessage(message); });
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

void CTavrinDlg::OnSend() {
    const int index = roster->currentIndex();
    ReadControls();
    const QString line = messageText + QStringLiteral("\r\n");
    if (!SendText(line)) {
        return;
    }
    if (index == 0) {
        logText += "Sent BROADCAST message ";
    } else {
        logText += "Sent to ";
        logText += roster->itemText(index);
    }
    logText += ": ";
    logText += line;
    messageText.clear();
    WriteControls();
}

bool CTavrinDlg::StartNetwork() {
    return true;
}

bool CTavrinDlg::SendText(const QString& /*line*/) {
    return false;
}

int CTavrinDlg::SendLeaving() {
    return -1;
}

void CTavrinDlg::RunMessageDialog() {}

void CTavrinDlg::OnHelp() {
    services.openUrl(ManualUrl());
}

void CTavrinDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0u) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CTavrinDlg::AddAboutItem(QMenu& menu) {
    const QString text = QString::fromUtf8(LoadResourceString(IDS_ABOUTBOX));
    if (text.isEmpty()) {
        return;
    }
    menu.addSeparator();
    menu.addAction(text, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
}

void CTavrinDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    AddAboutItem(menu);
    menu.exec(event->globalPos());
}

void CTavrinDlg::ShowLogMenu(const QPoint& position) {
    std::unique_ptr<QMenu> menu(logView->createStandardContextMenu(position));
    AddAboutItem(*menu);
    menu->exec(logView->viewport()->mapToGlobal(position));
}

bool CTavrinDlg::eventFilter(QObject* watched, QEvent* event) {
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
    OnShowWindow();
}

void CTavrinDlg::OnShowWindow() {
    if (networkStarted) {
        return;
    }
    if (!StartNetwork()) {
        return;
    }
    networkStarted = true;
    roster->addItem(kBroadcastEntry);
    roster->setCurrentIndex(0);
    WriteControls();
    if (!trayIconAdded) {
        trayIconAdded = true;
        TrayAdd(services.tray);
    }
    // Hidden once the show that is under way has finished; not HideToTray, so
    // the flags wait for the first tick.
    QMetaObject::invokeMethod(this, &CTavrinDlg::LeaveScreen, Qt::QueuedConnection);
}

void CTavrinDlg::HideToTray() {
    TraySetNormal(services.tray);
    LeaveScreen();
    hidden = true;
    unreadPending = false;
}

void CTavrinDlg::OnTimer() {
    if (hideOnFirstTick) {
        hideOnFirstTick = false;
        HideToTray();
        if (!trayIconAdded) {
            trayIconAdded = true;
            TrayAdd(services.tray);
        }
    }
    if (hidden && unreadPending) {
        TrayBlink(services.tray);
    }
}

void CTavrinDlg::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        OnTrayLeftClick();
    } else if (reason == QSystemTrayIcon::Context) {
        OnTrayRightClick();
    }
}

void CTavrinDlg::OnTrayLeftClick() {
    if (hidden) {
        ShowOnScreen();
        hidden = false;
    }
    BringToFront();
    TraySetNormal(services.tray);
    unreadPending = false;
}

void CTavrinDlg::OnTrayRightClick() {
    if (!hidden) {
        BringToFront();
        return;
    }
    const int count = services.queue.Size();
    services.queue.current = count - 1;
    if (count == 0) {
        ShowOnScreen();
        BringToFront();
        hidden = false;
        return;
    }
    hidden = false;
    TraySetNormal(services.tray);
    RunMessageDialog();
    hidden = true;
    unreadPending = false;
    BringToFront();
}

void CTavrinDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // Without a notification area the taskbar is the way back: restoring the
    // minimized window there counts as the click on the icon.
    if (event->type() == QEvent::WindowStateChange && hidden && !isMinimized() && isVisible() &&
        !services.tray.IsAvailable()) {
        OnTrayLeftClick();
    }
}

void CTavrinDlg::LeaveScreen() {
    if (windowDestroyed) {
        return;
    }
    if (services.tray.IsAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

void CTavrinDlg::ShowOnScreen() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
}

void CTavrinDlg::BringToFront() {
    if (isVisible()) {
        raise();
        activateWindow();
    }
}

} // namespace kestrane
