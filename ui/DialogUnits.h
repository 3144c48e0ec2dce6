#pragma once

#include <QRect>

class QFont;

namespace kestrane {

/// Converts dialog units to pixels the way dialog templates are laid out: a
/// horizontal unit is a quarter of the font's average character width, a
/// vertical unit an eighth of its character height.
class DialogUnits {
public:
    /// Measures `font`: the average width over "A".."Z" and "a".."z", rounded,
    /// and the line height.
    explicit DialogUnits(const QFont& font);
    DialogUnits(int averageCharWidth, int charHeight);

    int AverageCharWidth() const { return charWidth; }
    int CharHeight() const { return charHeight; }

    int ToPixelsX(int units) const;
    int ToPixelsY(int units) const;
    QRect ToPixels(int x, int y, int width, int height) const;

private:
    int charWidth;
    int charHeight;
};

} // namespace kestrane
