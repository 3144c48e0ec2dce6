#include "ui/FirstStart.h"

#include <QSettings>

namespace kestrane {

bool FirstStart::Claim() {
    QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    const QString key = QStringLiteral("window/welcomed");
    if (settings.value(key).toBool()) {
        return false;
    }
    settings.setValue(key, true);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QString FirstStart::Note(const QString& ownName, std::size_t othersHeard) {
    const QString heard = othersHeard == 0 ? QStringLiteral("has heard no other host yet")
                          : othersHeard == 1
                              ? QStringLiteral("has heard 1 other host so far")
                              : QStringLiteral("has heard %1 other hosts so far").arg(othersHeard);
    return QStringLiteral("Kestrane runs on this computer as %1 and %2. Choose a host under To: "
                          "to write to it alone, or Broadcast to write to everybody")
        .arg(ownName, heard);
}

} // namespace kestrane
