#include "ui/ResourceIcons.h"

#include "res/DialogTemplate.h"

#include <QImageReader>

namespace kestrane {

QPixmap ResourceIcons::Render(int iconId, int size) {
    if (iconId != IDR_MAINFRAME && iconId != IDI_BLINK) {
        return {};
    }
    QImageReader reader(QStringLiteral(":/kestrane/icons/%1-%2.png").arg(iconId).arg(size), "png");
    // Qt's own PNG code reads a format named outright; guessing it would load
    // every image format plugin first (and Qt's SVG module with one of them).
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

QIcon ResourceIcons::WindowIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        icon.addPixmap(Render(IDR_MAINFRAME, size));
    }
    return icon;
}

} // namespace kestrane
