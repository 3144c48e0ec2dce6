#include "ui/WindowMenus.h"

#include "res/StringTable.h"
#include "ui/alerts/AlertSettings.h"

#include <QCursor>
#include <QMenu>
#include <utility>

namespace kestrane {

WindowMenus::WindowMenus(AlertSettings& alertSettings, Items menuItems)
    : alerts(alertSettings), items(std::move(menuItems)) {}

void WindowMenus::AddItems(QMenu& menu) const {
    menu.addSeparator();
    menu.addAction(QStringLiteral("Read &unread lines"), kReadUnreadKey, items.readUnread);
    alerts.AddItems(menu);
    if (items.networkReady()) {
        menu.addSeparator();
        menu.addAction(QStringLiteral("&Network..."),
                       QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), items.network);
    }
    const QString about = QString::fromUtf8(LoadResourceString(IDS_ABOUTBOX));
    if (!about.isEmpty()) {
        menu.addSeparator();
        menu.addAction(about, items.about);
    }
}

void WindowMenus::ShowTrayMenu(QWidget& parent) const {
    // Deleted when it closes: the window may be gone by then.
    auto* menu = new QMenu(&parent);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("&Open Kestrane"), items.open);
    AddItems(*menu);
    menu->popup(QCursor::pos());
}

} // namespace kestrane
