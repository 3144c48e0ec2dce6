#pragma once

#include "core/delivery/LineTrust.h"

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace kestrane {

/// The mark of a line's trust as every view of lines shows it: a glyph and its
/// words. Plain and Unknown lines have neither, so lines from the original
/// chat's hosts look as they always did. The shapes differ without colour, the
/// colours read on light and dark bases alike. UI thread only.
class TrustGlyph {
public:
    /// Whether lines of `trust` are marked at all.
    static bool Shown(LineTrust trust);
    /// The tooltip and accessible description of a line from `sender`, in
    /// plain text; empty when not Shown.
    static QString Words(LineTrust trust, const QString& sender);
    /// A word or two for a list or an export ("verified"); empty when not Shown.
    static QString Label(LineTrust trust);
    /// The glyph, `side` pixels square at `ratio`; null when not Shown.
    static QPixmap Draw(LineTrust trust, int side, qreal ratio);
    /// The glyph at the sizes item views ask for; null when not Shown.
    static QIcon Icon(LineTrust trust);
};

} // namespace kestrane
