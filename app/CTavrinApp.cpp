#include "app/CTavrinApp.h"

#include "app/ActivationFile.h"
#include "app/AutomationReleaseRule.h"
#include "app/CTavrinDlgAutoProxyFactory.h"
#include "app/SignalWatcher.h"
#include "app/StartOptions.h"
#include "chat/ComeForwardRequest.h"
#include "core/session/ChatSession.h"
#include "core/session/ConsoleView.h"
#include "core/threads/UiBridge.h"
#include "platform/AlsaTonePlayer.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstanceLock.h"
#include "port/port.h"
#include "res/StringTable.h"
#include "ui/CTavrinDlg.h"
#include "ui/TrayIcon.h"
#include "ui/UiMessageBox.h"
#include "ui/accessibility/Accessibility.h"

#include <QApplication>
#include <QDBusConnection>
#include <QStandardPaths>
#include <cstdlib>

namespace kestrane {
namespace {

// Message boxes show through `hook` while it lives, and go to stderr again
// before the bridge the hook uses is gone.
class MessageBoxHookScope {
public:
    explicit MessageBoxHookScope(MessageBoxHook hook) { SetMessageBoxHook(std::move(hook)); }
    ~MessageBoxHookScope() { SetMessageBoxHook({}); }
    MessageBoxHookScope(const MessageBoxHookScope&) = delete;
    MessageBoxHookScope& operator=(const MessageBoxHookScope&) = delete;
};

} // namespace

CTavrinApp::CTavrinApp(const char* instanceLockName) : lockName(instanceLockName) {}

CTavrinApp::~CTavrinApp() {
    // Reached with the application alive only when exit() was called from
    // inside the event loop, as Qt does when the X connection breaks: the
    // window and its threads still live on the abandoned stack. Say goodbye
    // and free the lock as a close would, then leave Qt's objects to the end
    // of the process instead of destroying them under the window.
    if (application != nullptr) {
        if (mainDialog != nullptr) {
            mainDialog->DestroyWindow();
        }
        QApplication* abandoned = application.release();
        static_cast<void>(abandoned);
    }
}

int CTavrinApp::Run(int argc, char** argv, MessageQueue& queue) {
    // Taken at the start of main rather than during static construction, so
    // that --help and --version answer while a copy runs.
    // The token the desktop gave this start, if any, goes to the running copy,
    // whose window may then take the focus on Wayland.
    if (!TakeLock()) {
        // Nothing on the wire; the check itself called the running copy, so
        // the person who started this one sees it, even when it is hidden
        // (started for automation).
        return 1;
    }
    // From here on a termination signal closes the program properly, even
    // before its window exists.
    SignalWatcher::CatchSignals();
    application = std::make_unique<QApplication>(argc, argv);
    // Hidden in the tray the program has no visible window; closing the About
    // box then must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    Accessibility::Install();
    const int status = InitInstance(argc, argv, queue);
    application.reset();
    return status;
}

bool CTavrinApp::TakeLock() {
    const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
    instanceLock = std::make_unique<SingleInstanceLock>(
        lockName, ComeForwardRequest{.activationToken = token != nullptr ? token : ""}.Compose());
    return !instanceLock->AlreadyExists();
}

int CTavrinApp::RunHeadless(int argc, char** argv, MessageQueue& queue) {
    if (!TakeLock()) {
        std::fputs("kestrane: a copy already runs for this user on this network\n", stderr);
        return 1;
    }
    SignalWatcher::CatchSignals();
    QCoreApplication core(argc, argv);
    UiBridge bridge;
    if (PortStartup() != 0) {
        ShowMessageBox(LoadResourceString(IDP_SOCKETS_INIT_FAILED), "Kestrane");
        return 1;
    }
    ConsoleView view(stdout, [](int status) { QCoreApplication::exit(status); });
    ChatSession session({.view = view,
                         .queue = queue,
                         .bridge = bridge,
                         .instanceLock = instanceLock.get(),
                         .lookUpAddress = {},
                         .historyFolder = HistoryFolder()});
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::TerminationRequested, &core, [&session] {
        session.End(true);
        QCoreApplication::exit(0);
    });
    session.ListenForOtherCopies();
    session.Start();
    const int status = QCoreApplication::exec();
    session.End(true);
    return status;
}

int CTavrinApp::InitInstance(int argc, char** argv, MessageQueue& queue) {
    UiBridge bridge;
    const MessageBoxHookScope boxes(MakeUiMessageBoxHook(bridge));
    if (PortStartup() != 0) {
        ShowMessageBox(LoadResourceString(IDP_SOCKETS_INIT_FAILED),
                       QApplication::applicationName().toStdString());
        return 1;
    }
    // Made before the main window and destroyed after it: the window detaches
    // the objects it holds when it goes.
    CTavrinDlgAutoProxyFactory classFactory([this] { ApplyReleaseRule(userControl, mainDialog); });
    StartAutomation(argc, argv, classFactory);

    AlsaTonePlayer tones;
    TrayIcon tray;
    CTavrinDlg dialog(CTavrinDlg::Services{.queue = queue,
                                           .tones = tones,
                                           .tray = tray,
                                           .bridge = bridge,
                                           .instanceLock = instanceLock.get(),
                                           .openUrl = {},
                                           .lookUpAddress = {},
                                           .historyFolder = HistoryFolder(),
                                           .desktopBus = {}});
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::TerminationRequested, &dialog,
                     &CTavrinDlg::EndSession);
    dialog.DoModal();
    return 0;
}

QString CTavrinApp::HistoryFolder() {
    // $XDG_DATA_HOME/kestrane, or ~/.local/share/kestrane.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/kestrane");
}

void CTavrinApp::StartAutomation(int argc, char** argv, CTavrinDlgAutoProxyFactory& classFactory) {
    // Failures are ignored: without a session bus automation is simply unavailable.
    if (StartOptions(argc, argv).ForAutomation()) {
        userControl = false;
        classFactory.RegisterRunning(QDBusConnection::sessionBus());
    } else {
        ActivationFile::Refresh(ActivationFile::DefaultPath(),
                                QCoreApplication::applicationFilePath());
    }
}

} // namespace kestrane
