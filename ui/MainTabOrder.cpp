#include "ui/MainTabOrder.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <array>

namespace kestrane {
namespace {

constexpr int kLabelGap = 4;

// Message line, Send, roster, Help, Hide, the four buttons below, the log.
constexpr std::array kOrder{1001, 6, 1002, 57670, 7, 1020, 1021, 1023, 1022, 1000};

QWidget* Find(QDialog& dialog, int id) {
    return dialog.findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void LabelRoster(QDialog& dialog, QComboBox& roster) {
    auto* label = new QLabel(QStringLiteral("To:"), &dialog);
    label->setObjectName(QStringLiteral("rosterLabel"));
    label->setTextFormat(Qt::PlainText);
    label->setBuddy(&roster);
    const QRect box = roster.geometry();
    const int width = label->sizeHint().width();
    label->setGeometry(box.left(), box.top(), width, box.height());
    roster.setGeometry(box.adjusted(width + kLabelGap, 0, 0, 0));
}

} // namespace

void MainTabOrder::Arrange(QDialog& dialog) {
    if (auto* roster = qobject_cast<QComboBox*>(Find(dialog, 1002))) {
        LabelRoster(dialog, *roster);
    }
    QWidget* previous = nullptr;
    for (const int id : kOrder) {
        QWidget* control = Find(dialog, id);
        if (control != nullptr && previous != nullptr) {
            QWidget::setTabOrder(previous, control);
        }
        previous = control != nullptr ? control : previous;
    }
}

} // namespace kestrane
