#include "ui/WindowMenus.h"

#include "res/StringTable.h"
#include "ui/CloseChoice.h"
#include "ui/alerts/AlertSettings.h"

#include <QCursor>
#include <QMenu>
#include <utility>

namespace kestrane {
namespace {

const QKeySequence kNetworkKey(Qt::CTRL | Qt::SHIFT | Qt::Key_N);

} // namespace

WindowMenus::WindowMenus(AlertSettings& alertSettings, Items menuItems)
    : alerts(alertSettings), items(std::move(menuItems)),
      closeChoice(std::make_unique<CloseChoice>()), trayMenu(std::make_unique<QMenu>()) {
    MakeTrayMenu();
}

WindowMenus::~WindowMenus() = default;

void WindowMenus::AddItems(QMenu& menu) const {
    menu.addSeparator();
    menu.addAction(QStringLiteral("Read &unread lines"), kReadUnreadKey, items.readUnread);
    menu.addAction(QStringLiteral("&Conversations..."), kConversationsKey, items.conversations);
    alerts.AddItems(menu);
    if (items.networkReady()) {
        menu.addSeparator();
        menu.addAction(QStringLiteral("&Network..."), kNetworkKey, items.network);
    }
    closeChoice->AddItems(menu);
    const QString about = QString::fromUtf8(LoadResourceString(IDS_ABOUTBOX));
    if (!about.isEmpty()) {
        menu.addSeparator();
        menu.addAction(about, items.about);
    }
}

void WindowMenus::MakeTrayMenu() {
    QMenu& menu = *trayMenu;
    readAction = menu.addAction(
        QString(), [this] { unreadShown > 0 ? items.readUnread() : items.readQueued(); });
    menu.addAction(QStringLiteral("&Open Kestrane"), items.open);
    menu.addAction(QStringLiteral("&Conversations..."), items.conversations);
    alerts.AddItems(menu);
    menu.addSeparator();
    networkAction = menu.addAction(QStringLiteral("&Network..."), items.network);
    const QString about = QString::fromUtf8(LoadResourceString(IDS_ABOUTBOX));
    if (!about.isEmpty()) {
        menu.addAction(about, items.about);
    }
    menu.addSeparator();
    menu.addAction(QStringLiteral("&Quit Kestrane"), items.quit);
    QObject::connect(&menu, &QMenu::aboutToShow, &menu,
                     [this] { networkAction->setEnabled(items.networkReady()); });
    ShowWaiting(0, 0);
}

void WindowMenus::ShowWaiting(int unread, int queued) {
    unreadShown = unread;
    readAction->setText(unread == 1  ? QStringLiteral("&Read 1 unread line")
                        : unread > 1 ? QStringLiteral("&Read %1 unread lines").arg(unread)
                        : queued > 0 ? QStringLiteral("&Read waiting lines")
                                     : QStringLiteral("No unread lines"));
    readAction->setEnabled(unread > 0 || queued > 0);
}

void WindowMenus::ShowTrayMenu() {
    networkAction->setEnabled(items.networkReady());
    trayMenu->popup(QCursor::pos());
}

} // namespace kestrane
