#include "ui/alerts/DesktopNotifications.h"

namespace kestrane {

DesktopNotifications::DesktopNotifications(QDBusConnection sessionBus, QObject* parent)
    : QObject(parent), bus(std::move(sessionBus)) {}

DesktopNotifications::~DesktopNotifications() = default;

bool DesktopNotifications::IsAvailable() const {
    return false;
}

void DesktopNotifications::Show(const QString&, const QString&, int) {}

void DesktopNotifications::Withdraw(const QString&) {}

void DesktopNotifications::WithdrawAll() {}

QStringList DesktopNotifications::Open() const {
    return idsBySender.keys();
}

} // namespace kestrane
