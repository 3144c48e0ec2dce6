#include "ui/ToolWindows.h"

#include "core/history/ChatHistory.h"
#include "core/network/NetworkPresence.h"
#include "core/session/ChatSession.h"
#include "ui/CAboutDlg.h"
#include "ui/history/HistoryWindow.h"
#include "ui/network/NetworkView.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTextBrowser>
#include <QUrl>
#include <utility>

namespace kestrane {
namespace {

// The manual page installed with the program: beside it in a build tree,
// under share/kestrane when installed.
constexpr int kBrowserQueryMs = 2000;

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

// A desktop file names the program that opens web pages, or a browser is named
// in BROWSER (xdg-open honours both).
bool DesktopHasBrowser() {
    if (!qEnvironmentVariableIsEmpty("BROWSER")) {
        return true;
    }
    QProcess query;
    query.start(QStringLiteral("xdg-mime"),
                {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/html")});
    return query.waitForFinished(kBrowserQueryMs) && query.exitCode() == 0 &&
           !query.readAllStandardOutput().trimmed().isEmpty();
}

void ShowAndRaise(QWidget& view) {
    view.show();
    view.raise();
    view.activateWindow();
}

} // namespace

ToolWindows::ToolWindows(QWidget& mainWindow, ChatSession& runningSession,
                         std::function<void(const QUrl&)> open)
    : desktopHasBrowser(DesktopHasBrowser), window(mainWindow), session(runningSession),
      openUrl(std::move(open)) {}

ToolWindows::~ToolWindows() {
    if (ChatHistory* kept = session.History()) {
        kept->FollowWrites({});
    }
    delete history.data();
    delete network.data();
    delete manual.data();
}

void ToolWindows::ShowHistory() {
    ChatHistory* kept = session.History();
    if (kept == nullptr) {
        return;
    }
    if (!history) {
        HistoryStore& store = kept->Store();
        history = new HistoryWindow(
            store.Access(),
            HistoryWindow::Hooks{
                .clear = [&store] { store.Clear(); },
                .limitsChanged =
                    [&store](const HistoryStore::Limits& limits) { store.SetLimits(limits); }},
            &window);
        history->setAttribute(Qt::WA_DeleteOnClose);
        kept->FollowWrites([this] {
            if (history) {
                history->Refresh();
            }
        });
    }
    ShowAndRaise(*history);
}

void ToolWindows::ShowNetwork() {
    NetworkPresence* networks = session.Networks();
    if (networks == nullptr) {
        return;
    }
    if (!network) {
        network = new NetworkView(networks->HostsHeard(), networks->Extra(), networks->Started(),
                                  &window);
    }
    network->Refresh();
    ShowAndRaise(*network);
}

void ToolWindows::ShowAbout() {
    CAboutDlg about(&window);
    about.exec();
}

void ToolWindows::ShowManual() {
    if (desktopHasBrowser()) {
        openUrl(ManualUrl());
        return;
    }
    if (!manual) {
        manual = new QTextBrowser(&window);
        manual->setWindowFlag(Qt::Window);
        manual->setWindowTitle(QStringLiteral("Kestrane manual"));
        manual->setOpenExternalLinks(false);
        const QUrl page = ManualUrl();
        if (QFileInfo(page.toLocalFile()).isFile()) {
            manual->setSource(page);
        } else {
            manual->setPlainText(QStringLiteral("The manual is not installed: it belongs at %1.")
                                     .arg(page.toLocalFile()));
        }
        manual->resize(manual->fontMetrics().averageCharWidth() * 90,
                       manual->fontMetrics().height() * 40);
    }
    ShowAndRaise(*manual);
}

} // namespace kestrane
