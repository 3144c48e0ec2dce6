#include "ui/WindowStretch.h"

#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>
#include <algorithm>

namespace kestrane {
namespace {

bool IsField(const QWidget& control) {
    return qobject_cast<const QLineEdit*>(&control) != nullptr ||
           qobject_cast<const QComboBox*>(&control) != nullptr;
}

} // namespace

WindowStretch::WindowStretch(QDialog& dialog, QWidget& grower)
    : QObject(&dialog), owner(dialog), base(dialog.size()) {
    const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    const QRect growing = grower.geometry();
    // The right edge of the text fields below the grower: buttons beyond it go right.
    int fieldsRight = 0;
    for (const QWidget* control : controls) {
        if (IsField(*control) && control->geometry().top() >= growing.bottom()) {
            fieldsRight = std::max(fieldsRight, control->geometry().right());
        }
    }
    for (QWidget* control : controls) {
        const QRect at = control->geometry();
        Move move = Move::Stay;
        if (control == &grower) {
            move = Move::Grow;
        } else if (at.top() >= growing.bottom()) {
            move = IsField(*control)                            ? Move::DownAndWiden
                   : fieldsRight > 0 && at.left() > fieldsRight ? Move::DownAndRight
                                                                : Move::Down;
        }
        placed.push_back({control, at, move});
    }
    dialog.setMinimumSize(base);
    dialog.setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    dialog.setWindowFlag(Qt::WindowMaximizeButtonHint);
    dialog.installEventFilter(this);
}

void WindowStretch::SetBanner(QWidget* top) {
    banner = top;
    Relayout();
}

void WindowStretch::SetFooter(QWidget* bottom) {
    footer = bottom;
    Relayout();
}

void WindowStretch::Relayout() {
    Place(owner.size());
}

int WindowStretch::EdgeHeight(QWidget& edge, int width, int most) {
    return std::min(
        edge.hasHeightForWidth() ? edge.heightForWidth(width) : edge.sizeHint().height(), most);
}

QRect WindowStretch::PlaceEdges(QRect growing) const {
    const int whole = growing.height();
    if (banner != nullptr && !banner->isHidden()) {
        // Most of the place if need be: a bar cut short overlaps its own lines.
        const int height = EdgeHeight(*banner, growing.width(), whole * 2 / 3);
        banner->setGeometry(growing.left(), growing.top(), growing.width(), height);
        banner->raise();
        growing.setTop(growing.top() + height + kBannerGap);
    }
    if (footer != nullptr && !footer->isHidden()) {
        const int height = EdgeHeight(*footer, growing.width(), whole / 4);
        footer->setGeometry(growing.left(), growing.bottom() + 1 - height, growing.width(), height);
        footer->raise();
        growing.setBottom(growing.bottom() - height - kBannerGap);
    }
    return growing;
}

bool WindowStretch::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        Place(static_cast<QWidget*>(watched)->size());
    }
    return QObject::eventFilter(watched, event);
}

void WindowStretch::Place(QSize size) {
    const int wider = std::max(0, size.width() - base.width());
    const int taller = std::max(0, size.height() - base.height());
    for (const Placed& one : placed) {
        if (one.control == nullptr) {
            continue;
        }
        QRect at = one.base;
        switch (one.move) {
        case Move::Grow:
            at.setSize(at.size() + QSize(wider, taller));
            at = PlaceEdges(at);
            break;
        case Move::Stay:
            break;
        case Move::Down:
            at.translate(0, taller);
            break;
        case Move::DownAndRight:
            at.translate(wider, taller);
            break;
        case Move::DownAndWiden:
            at.translate(0, taller);
            at.setWidth(at.width() + wider);
            break;
        }
        one.control->setGeometry(at);
    }
}

} // namespace kestrane
