#include "ui/ResourceIcons.h"

#include "res/DialogTemplate.h"

#include <QPainter>
#include <QSvgRenderer>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

QImage DrawnFromSvg(int iconId, int size) {
    QSvgRenderer renderer(QStringLiteral(KESTRANE_ICON_DIR "/%1.svg").arg(iconId));
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    return pixmap.toImage();
}

TEST(ResourceIconsTest, EveryIconIsExactlyWhatItsSvgDraws) {
    for (const auto& [iconId, size] : {std::pair{IDR_MAINFRAME, 16},
                                       {IDR_MAINFRAME, 32},
                                       {IDR_MAINFRAME, 48},
                                       {IDR_MAINFRAME, 64},
                                       {IDI_BLINK, 16}}) {
        const QImage drawn = DrawnFromSvg(iconId, size);
        const QString file = QStringLiteral("%1-%2.png").arg(iconId).arg(size);
        SCOPED_TRACE(file.toStdString());
        ASSERT_FALSE(drawn.isNull());
        if (ResourceIcons::Render(iconId, size).toImage() != drawn) {
            // Left in the working directory, to replace the one in res/icons.
            drawn.save(file);
            ADD_FAILURE() << "res/icons/" << file.toStdString() << " differs from its SVG";
        }
    }
    EXPECT_TRUE(ResourceIcons::Render(IDR_MAINFRAME, 24).isNull());
    EXPECT_TRUE(ResourceIcons::Render(IDI_BLINK - 1, 16).isNull());
}

} // namespace
} // namespace kestrane::test
