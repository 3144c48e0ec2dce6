#include "ui/alerts/AlertSettings.h"

#include <QAction>
#include <QMenu>
#include <QSettings>

namespace kestrane {
namespace {

const QString kMutedKey = QStringLiteral("alerts/mute");
const QString kDoNotDisturbKey = QStringLiteral("alerts/doNotDisturb");

void Store(const QString& key, bool on) {
    QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    settings.setValue(key, on);
    settings.sync();
}

} // namespace

AlertSettings::AlertSettings(QObject* parent)
    : QObject(parent), muteAction(new QAction(QStringLiteral("&Mute"), this)),
      doNotDisturbAction(new QAction(QStringLiteral("Do not &disturb"), this)) {
    muteAction->setCheckable(true);
    muteAction->setToolTip(QStringLiteral("No tones when a line arrives"));
    doNotDisturbAction->setCheckable(true);
    doNotDisturbAction->setToolTip(QStringLiteral("No notifications when a line arrives"));
    connect(muteAction, &QAction::triggered, this, &AlertSettings::SetMuted);
    connect(doNotDisturbAction, &QAction::triggered, this, &AlertSettings::SetDoNotDisturb);
    Reload();
}

void AlertSettings::SetMuted(bool on) {
    muted = on;
    Store(kMutedKey, on);
    ShowChecks();
}

void AlertSettings::SetDoNotDisturb(bool on) {
    doNotDisturb = on;
    Store(kDoNotDisturbKey, on);
    ShowChecks();
}

void AlertSettings::Reload() {
    QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    muted = settings.value(kMutedKey, false).toBool();
    doNotDisturb = settings.value(kDoNotDisturbKey, false).toBool();
    ShowChecks();
}

void AlertSettings::AddItems(QMenu& menu) {
    menu.addSeparator();
    menu.addAction(muteAction);
    menu.addAction(doNotDisturbAction);
}

void AlertSettings::StoreMuted(bool on) {
    Store(kMutedKey, on);
}

void AlertSettings::StoreDoNotDisturb(bool on) {
    Store(kDoNotDisturbKey, on);
}

void AlertSettings::ShowChecks() {
    muteAction->setChecked(muted);
    doNotDisturbAction->setChecked(doNotDisturb);
}

} // namespace kestrane
