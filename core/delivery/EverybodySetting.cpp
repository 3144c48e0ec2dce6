#include "core/delivery/EverybodySetting.h"

#include <QSettings>

namespace kestrane {
namespace {

const QString kKey = QStringLiteral("privacy/everybodyOnlyKestrane");

QSettings Settings() {
    return QSettings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
}

} // namespace

bool EverybodySetting::OnlyKestrane() {
    return Settings().value(kKey, false).toBool();
}

void EverybodySetting::SetOnlyKestrane(bool only) {
    Settings().setValue(kKey, only);
}

} // namespace kestrane
