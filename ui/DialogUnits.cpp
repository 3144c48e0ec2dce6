#include "ui/DialogUnits.h"

#include <QFont>
#include <QFontMetrics>

namespace kestrane {
namespace {

// a * b / c rounded half away from zero, as dialog layout has always rounded.
int MultiplyDivide(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

int AverageWidth(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return (width / 26 + 1) / 2;
}

} // namespace

DialogUnits::DialogUnits(const QFont& font)
    : charWidth(AverageWidth(font)), charHeight(QFontMetrics(font).height()) {}

DialogUnits::DialogUnits(int averageCharWidth, int height)
    : charWidth(averageCharWidth), charHeight(height) {}

int DialogUnits::ToPixelsX(int units) const {
    return MultiplyDivide(units, charWidth, 4);
}

int DialogUnits::ToPixelsY(int units) const {
    return MultiplyDivide(units, charHeight, 8);
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return {ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height)};
}

} // namespace kestrane
