#include "ui/alerts/LineAlerts.h"

#include "ui/alerts/AlertSettings.h"
#include "ui/alerts/DesktopNotifications.h"

#include <utility>

namespace kestrane {

LineAlerts::LineAlerts(QWidget& mainWindow, MessageQueue& messageQueue,
                       AlertSettings& alertSettings, DesktopNotifications& desktopNotifications,
                       Hooks alertHooks)
    : window(mainWindow), queue(messageQueue), settings(alertSettings),
      notifications(desktopNotifications), hooks(std::move(alertHooks)) {}

void LineAlerts::LineQueued(const HistoryEntry&, bool) {}

void LineAlerts::AllRead() {}

void LineAlerts::QueueRead() {}

void LineAlerts::OnReplyRequested(const QString&) {}

void LineAlerts::OnReplyTyped(const QString&, const QString&) {}

int LineAlerts::NewestOf(const QString&) const {
    return -1;
}

} // namespace kestrane
