#include "ui/OwnKeyLabel.h"

#include "security/Fingerprint.h"

#include <QLabel>

namespace kestrane {

QString OwnKeyLabel::Text(const KeyPair& keys) {
    return QStringLiteral("This computer's key: %1")
        .arg(QString::fromStdString(Fingerprint(keys.Public())));
}

QLabel* OwnKeyLabel::Make(const KeyPair& keys) {
    auto* label = new QLabel(Text(keys));
    label->setObjectName(QStringLiteral("ownKey"));
    label->setAccessibleName(QStringLiteral("This computer's key"));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

} // namespace kestrane
