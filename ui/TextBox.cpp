#include "ui/TextBox.h"

#include <QEvent>
#include <algorithm>

namespace kestrane {

TextBox::TextBox(QWidget* parent)
    : QPlainTextEdit(parent), left(new QWidget(this)), right(new QWidget(this)) {
    for (QWidget* strip : {left, right}) {
        strip->setObjectName(strip == left ? QStringLiteral("leftStrip")
                                           : QStringLiteral("rightStrip"));
        strip->setAutoFillBackground(true);
        strip->setBackgroundRole(QPalette::Base);
        strip->hide();
    }
    connect(this, &QPlainTextEdit::updateRequest, this, &TextBox::FollowScroll);
}

void TextBox::SetStripWidths(int leftPixels, int rightPixels) {
    leftWidth = std::max(0, leftPixels);
    rightWidth = std::max(0, rightPixels);
    setViewportMargins(leftWidth, 0, rightWidth, 0);
    PlaceStrips();
}

void TextBox::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    PlaceStrips();
}

bool TextBox::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Resize) {
        PlaceStrips(); // a scroll bar came or went
    }
    return QPlainTextEdit::viewportEvent(event);
}

// Beside the viewport, between it and the frame or a scroll bar.
void TextBox::PlaceStrips() {
    const QRect text = viewport()->geometry();
    left->setGeometry(text.left() - leftWidth, text.top(), leftWidth, text.height());
    right->setGeometry(text.right() + 1, text.top(), rightWidth, text.height());
    left->setVisible(leftWidth > 0);
    right->setVisible(rightWidth > 0);
}

// The view's text moved or changed in `rect`: the strips beside it follow.
void TextBox::FollowScroll(const QRect& rect, int dy) {
    for (QWidget* strip : {left, right}) {
        if (!strip->isVisible()) {
            continue;
        }
        if (dy != 0) {
            strip->scroll(0, dy);
        } else {
            strip->update(0, rect.y(), strip->width(), rect.height());
        }
    }
}

} // namespace kestrane
