#include "ui/TrayIcon.h"

#include "res/DialogTemplate.h"
#include "ui/ResourceIcons.h"

#include <QDBusInterface>

namespace kestrane {
namespace {

constexpr int kTrayIconSize = 16;
constexpr qsizetype kLongestTip = 63;
constexpr int kAvailabilityLifetimeMs = 1000;
constexpr qsizetype kLongestSenderInTip = 40;

// A name from the network, fit for a tip that some panels read as markup:
// no tag can start, no control character moves the text.
QString PlainName(const QString& name) {
    QString plain;
    for (const QChar character : name.left(kLongestSenderInTip)) {
        if (character == QLatin1Char('<')) {
            plain += QChar(0x2039);
        } else if (character == QLatin1Char('>')) {
            plain += QChar(0x203A);
        } else if (character == QLatin1Char('&')) {
            plain += QChar(0xFF06);
        } else if (character.isPrint()) {
            plain += character;
        }
    }
    return plain;
}

} // namespace

TrayIcon::TrayIcon() = default;

bool TrayIcon::IsAvailable() const {
    // With a StatusNotifierItem panel each answer costs Qt a new session-bus
    // connection (milliseconds): lines that come while hidden ask it once a second at most.
    if (availabilityKnown.hasExpired()) {
        available = QSystemTrayIcon::isSystemTrayAvailable();
        availabilityKnown.setRemainingTime(kAvailabilityLifetimeMs);
    }
    return available;
}

bool TrayIcon::UsesStatusNotifier() const {
    if (!statusNotifier) {
        QDBusInterface watcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                               QStringLiteral("/StatusNotifierWatcher"),
                               QStringLiteral("org.kde.StatusNotifierWatcher"));
        statusNotifier =
            watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
    }
    return *statusNotifier;
}

void TrayIcon::SetStatusNotifierMenu(QMenu* menu) {
    if (UsesStatusNotifier()) {
        icon.setContextMenu(menu);
    }
}

bool TrayIcon::Notify(TrayOperation operation, int id, int iconId, const char* tip) {
    if (id != TRAY_ICON_ID || (operation != TrayOperation::Add && !added)) {
        return false;
    }
    if (operation == TrayOperation::Delete) {
        icon.hide();
        added = false;
        shownIconId = 0;
        return true;
    }
    // A fresh image each time, as nothing holds icon images between changes.
    icon.setIcon(QIcon(ResourceIcons::Render(iconId, kTrayIconSize)));
    tipText = tip == nullptr ? QString() : QString::fromUtf8(tip).left(kLongestTip);
    ShowTip();
    shownIconId = iconId;
    if (!added) {
        icon.show();
        added = true;
    }
    return true;
}

void TrayIcon::ShowWaiting(int lines, const QString& newestSender) {
    waitingText = lines <= 0 ? QString()
                  : lines == 1
                      ? QStringLiteral("1 unread line, from %1").arg(PlainName(newestSender))
                      : QStringLiteral("%1 unread lines, the newest from %2")
                            .arg(lines)
                            .arg(PlainName(newestSender));
    if (added) {
        ShowTip();
    }
}

void TrayIcon::ShowTip() {
    icon.setToolTip(waitingText.isEmpty() || tipText.isEmpty()
                        ? tipText
                        : QStringLiteral("%1: %2").arg(tipText, waitingText));
}

bool TrayNotify(TrayIcon& tray, TrayOperation operation, int id, int iconId, const char* tip) {
    return tray.Notify(operation, id, iconId, tip);
}

void TrayAdd(TrayIcon& tray) {
    TrayNotify(tray, TrayOperation::Add, TRAY_ICON_ID, IDR_MAINFRAME, TRAY_TIP);
}

void TraySetNormal(TrayIcon& tray) {
    TrayNotify(tray, TrayOperation::Modify, TRAY_ICON_ID, IDR_MAINFRAME, TRAY_TIP);
}

void TrayBlink(TrayIcon& tray) {
    int iconId = IDR_MAINFRAME;
    if (tray.blinkNormalShown) {
        tray.blinkNormalShown = false;
        iconId = IDI_BLINK;
    } else {
        tray.blinkNormalShown = true;
    }
    TrayNotify(tray, TrayOperation::Modify, TRAY_ICON_ID, iconId, TRAY_TIP);
}

void TrayRemove(TrayIcon& tray) {
    TrayNotify(tray, TrayOperation::Delete, TRAY_ICON_ID, 0, nullptr);
}

} // namespace kestrane
