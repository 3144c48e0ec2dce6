#include "ui/trust/TrustGlyph.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrane {
namespace {

// A padlock's body, and its shackle: closed, or lifted and swung open.
QPainterPath Padlock(bool open) {
    QPainterPath path;
    path.addRoundedRect(QRectF(0.2, 0.46, 0.6, 0.4), 0.06, 0.06);
    const qreal lift = open ? 0.12 : 0.0;
    path.moveTo(0.34, 0.46);
    path.lineTo(0.34, 0.32 - lift);
    path.arcTo(QRectF(0.34, 0.16 - lift, 0.32, 0.32), 180, -180);
    path.lineTo(0.66, open ? 0.3 - lift : 0.46);
    return path;
}

// Shapes in a unit square, as LogMarks draws the looks of lines.
QPainterPath GlyphPath(LineTrust trust) {
    QPainterPath path;
    switch (trust) {
    case LineTrust::Verified: // a shield with a tick
        path.moveTo(0.5, 0.1);
        path.lineTo(0.84, 0.22);
        path.lineTo(0.84, 0.48);
        path.quadTo(0.82, 0.78, 0.5, 0.92);
        path.quadTo(0.18, 0.78, 0.16, 0.48);
        path.lineTo(0.16, 0.22);
        path.closeSubpath();
        path.moveTo(0.34, 0.5);
        path.lineTo(0.46, 0.63);
        path.lineTo(0.67, 0.37);
        break;
    case LineTrust::Private:
        return Padlock(false);
    case LineTrust::NotAuthenticated:
        return Padlock(true);
    case LineTrust::NewKey: // a warning triangle
        path.moveTo(0.5, 0.12);
        path.lineTo(0.9, 0.84);
        path.lineTo(0.1, 0.84);
        path.closeSubpath();
        path.moveTo(0.5, 0.4);
        path.lineTo(0.5, 0.6);
        path.moveTo(0.5, 0.72);
        path.lineTo(0.5, 0.73);
        break;
    case LineTrust::Unknown:
    case LineTrust::Plain:
        break;
    }
    return path;
}

// The palette of LogMarks' delivery marks: mid tones, seen on either base.
QColor GlyphColor(LineTrust trust) {
    switch (trust) {
    case LineTrust::Verified:
        return QColor(0x1b, 0x7f, 0x2a);
    case LineTrust::NewKey:
        return QColor(0xc0, 0x1c, 0x28);
    case LineTrust::NotAuthenticated:
        return QColor(0xb8, 0x6e, 0x00);
    case LineTrust::Private:
    case LineTrust::Unknown:
    case LineTrust::Plain:
        break;
    }
    return QColor(0x70, 0x70, 0x70);
}

} // namespace

bool TrustGlyph::Shown(LineTrust trust) {
    return trust == LineTrust::Verified || trust == LineTrust::Private ||
           trust == LineTrust::NewKey || trust == LineTrust::NotAuthenticated;
}

QString TrustGlyph::Words(LineTrust trust, const QString& sender) {
    switch (trust) {
    case LineTrust::Verified:
        return QStringLiteral(
                   "Verified: the line came encrypted from %1's key, whose code you compared")
            .arg(sender);
    case LineTrust::Private:
        return QStringLiteral("Encrypted from %1's known key (codes not compared)").arg(sender);
    case LineTrust::NewKey:
        return QStringLiteral("From a key %1 has not used before: not confirmed. Decide in the bar "
                              "above the log")
            .arg(sender);
    case LineTrust::NotAuthenticated:
        return QStringLiteral("Not authenticated: could be from anyone on the network");
    case LineTrust::Unknown:
    case LineTrust::Plain:
        break;
    }
    return {};
}

QString TrustGlyph::Label(LineTrust trust) {
    return QString(QLatin1StringView(TrustWord(trust))).replace(QLatin1Char('-'), QLatin1Char(' '));
}

QPixmap TrustGlyph::Draw(LineTrust trust, int side, qreal ratio) {
    if (!Shown(trust) || side <= 0) {
        return {};
    }
    QPixmap glyph(QSize(side, side) * ratio);
    glyph.setDevicePixelRatio(ratio);
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side, side);
    painter.setPen(QPen(GlyphColor(trust), 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(GlyphPath(trust));
    return glyph;
}

QIcon TrustGlyph::Icon(LineTrust trust) {
    QIcon icon;
    for (const int side : {16, 24, 32, 48}) {
        icon.addPixmap(Draw(trust, side, 1.0));
    }
    return Shown(trust) ? icon : QIcon();
}

} // namespace kestrane
