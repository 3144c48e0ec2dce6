#include "ui/ToolWindows.h"

#include "core/NetworkText.h"
#include "core/history/ChatHistory.h"
#include "core/history/ThreadReader.h"
#include "core/identity/PeerKeys.h"
#include "core/network/NetworkPresence.h"
#include "core/roster/HostRoster.h"
#include "core/session/ChatSession.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/UnreadLines.h"
#include "ui/CAboutDlg.h"
#include "ui/conversations/ConversationsWindow.h"
#include "ui/history/HistoryWindow.h"
#include "ui/network/NetworkView.h"
#include "ui/trust/KnownKeysTable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTextBrowser>
#include <QUrl>
#include <algorithm>
#include <utility>

namespace kestrane {
namespace {

// The manual page installed with the program: beside it in a build tree,
// under share/kestrane when installed.
constexpr int kBrowserQueryMs = 2000;
// Lines kept but not written yet are written before a thread is read, for at most this long.
constexpr std::chrono::milliseconds kWriteWait{300};

QString Refusal(SendResult result, const QString& peer) {
    switch (result) {
    case SendResult::Sent:
        return {};
    case SendResult::TooLong:
        return QStringLiteral("Not sent: the line is too long. Shorten it and send it again.");
    case SendResult::NoConnection:
    case SendResult::NoName:
        return QStringLiteral("Not sent: the network has not started yet.");
    case SendResult::Unreachable:
        return QStringLiteral("Not sent: there is no address to reach %1 at.").arg(peer);
    case SendResult::Failed:
        break;
    }
    return QStringLiteral("Not sent: the network refused the line.");
}

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
        kept->FollowRecords({});
    }
    delete conversations.data();
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

void ToolWindows::ShowConversations() {
    ChatHistory* kept = session.History();
    if (kept == nullptr) {
        return;
    }
    if (!conversations) {
        MakeConversations();
    }
    // The newest unread line's host, else the thread open before, else the newest.
    QString peer = session.Unread().NewestSender();
    if (peer.isEmpty()) {
        peer = conversations->Chosen();
    }
    if (peer.isEmpty() && !conversations->isVisible()) {
        const std::vector<QString> peers = threads->Peers(1);
        peer = peers.empty() ? QString() : peers.front();
    }
    kept->Flush(kWriteWait);
    ShowAndRaise(*conversations);
    conversations->Open(peer);
}

void ToolWindows::MakeConversations() {
    ChatHistory& kept = *session.History();
    threads = std::make_unique<ThreadReader>(kept.Store());
    conversations = new ConversationsWindow(
        ConversationsWindow::Hooks{
            .peers =
                [this] {
                    std::vector<QString> peers = threads->Peers(ConversationsWindow::kMostListed);
                    for (const std::string& name : session.Hosts().Names()) {
                        const QString peer = NetworkName(name);
                        if (std::ssize(peers) < ConversationsWindow::kMostListed &&
                            std::ranges::find(peers, peer) == peers.end()) {
                            peers.push_back(peer);
                        }
                    }
                    return peers;
                },
            .thread =
                [this](const QString& peer) {
                    session.History()->Flush(kWriteWait);
                    return threads->Thread(peer, QDateTime::currentMSecsSinceEpoch());
                },
            .unread = [this](const QString& peer) { return session.Unread().CountInThread(peer); },
            .seen = [this](const QString& peer) { session.Unread().ThreadSeen(peer); },
            .send =
                [this](const QString& peer, const QString& line,
                       std::function<void(const QString& refusal)> done) {
                    SendFromThread(peer, line, done);
                }},
        &window);
    kept.FollowRecords(ChatHistory::Follower{
        .added =
            [this](const HistoryRecord& record) {
                if (conversations) {
                    conversations->Added(record);
                }
            },
        .delivery =
            [this](std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox) {
                if (conversations) {
                    conversations->DeliveryChanged(id, delivery, inOutbox);
                }
            }});
}

void ToolWindows::SendFromThread(const QString& peer, const QString& line,
                                 const std::function<void(const QString& refusal)>& done) {
    Recipient recipient{.index = 0, .name = {}, .address = {}};
    if (!peer.isEmpty()) {
        HostRoster& hosts = session.Hosts();
        const int row = hosts.Find(EncodeNetworkText(peer).toStdString());
        if (row <= 0) {
            done(QStringLiteral("Not sent: %1 is not on the network now.").arg(peer));
            return;
        }
        recipient.index = row;
        recipient.name = hosts.NameAt(row);
        recipient.address = hosts.AddressOf(recipient.name).value_or(std::string());
    }
    session.Lines().Send(recipient, line, {},
                         [done, peer](SendResult result) { done(Refusal(result, peer)); });
}

bool ToolWindows::Looking(const HistoryEntry& entry) const {
    return conversations && conversations->Looking() &&
           UnreadLines::InThread(conversations->Chosen(), entry);
}

void ToolWindows::UnreadChanged() {
    if (conversations) {
        conversations->UnreadChanged();
    }
}

void ToolWindows::ShowNetwork() {
    NetworkPresence* networks = session.Networks();
    if (networks == nullptr) {
        return;
    }
    if (!network) {
        network = new NetworkView(networks->HostsHeard(), networks->Extra(), networks->Started(),
                                  &window);
        if (const KeyPair* keys = session.Identity()) {
            if (PeerKeys* known = session.Keys()) {
                network->AddSection(new KnownKeysTable(*known, *keys));
            }
            network->ShowOwnKey(*keys);
        }
    }
    network->Refresh();
    ShowAndRaise(*network);
}

void ToolWindows::ShowAbout() {
    CAboutDlg about(&window, session.Identity());
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
