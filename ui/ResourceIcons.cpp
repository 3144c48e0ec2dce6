#include "ui/ResourceIcons.h"

#include "res/DialogTemplate.h"

#include <QPainter>
#include <QSvgRenderer>

namespace kestrane {

QPixmap ResourceIcons::Render(int iconId, int size) {
    if (iconId != IDR_MAINFRAME && iconId != IDI_BLINK) {
        return {};
    }
    QSvgRenderer renderer(QStringLiteral(":/kestrane/icons/%1.svg").arg(iconId));
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QIcon ResourceIcons::WindowIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        icon.addPixmap(Render(IDR_MAINFRAME, size));
    }
    return icon;
}

} // namespace kestrane
