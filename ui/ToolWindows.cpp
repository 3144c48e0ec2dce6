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
#include <QUrl>
#include <utility>

namespace kestrane {
namespace {

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

void ShowAndRaise(QWidget& view) {
    view.show();
    view.raise();
    view.activateWindow();
}

} // namespace

ToolWindows::ToolWindows(QWidget& mainWindow, ChatSession& runningSession,
                         std::function<void(const QUrl&)> open)
    : window(mainWindow), session(runningSession), openUrl(std::move(open)) {}

ToolWindows::~ToolWindows() {
    if (ChatHistory* kept = session.History()) {
        kept->FollowWrites({});
    }
    delete history.data();
    delete network.data();
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
    openUrl(ManualUrl());
}

} // namespace kestrane
