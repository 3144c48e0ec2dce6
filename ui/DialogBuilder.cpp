#include "ui/DialogBuilder.h"

#include "ui/DialogUnits.h"
#include "ui/ResourceIcons.h"
#include "ui/TextBox.h"
#include "ui/accessibility/Accessibility.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace kestrane {
namespace {

bool Has(unsigned styles, unsigned style) {
    return (styles & style) != 0;
}

QWidget* MakeEdit(const ControlTemplate& control, QWidget* parent) {
    if (!Has(control.styles, STYLE_MULTI_LINE)) {
        return new QLineEdit(parent);
    }
    auto* edit = new TextBox(parent);
    edit->setReadOnly(Has(control.styles, STYLE_READ_ONLY));
    // Horizontal auto-scroll: long lines scroll sideways instead of wrapping.
    edit->setLineWrapMode(Has(control.styles, STYLE_AUTO_HORIZONTAL_SCROLL)
                              ? QPlainTextEdit::NoWrap
                              : QPlainTextEdit::WidgetWidth);
    if (Has(control.styles, STYLE_VERTICAL_SCROLL)) {
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    return edit;
}

QWidget* MakeButton(const ControlTemplate& control, QWidget* parent) {
    auto* button = new QPushButton(QString::fromUtf8(control.caption), parent);
    button->setDefault(Has(control.styles, STYLE_DEFAULT_BUTTON));
    return button;
}

QWidget* MakeLabel(const ControlTemplate& control, QWidget* parent) {
    // Plain text always: labels may later show names that came from the network.
    auto* label = new QLabel(QString::fromUtf8(control.caption), parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QWidget* MakeIcon(const ControlTemplate& control, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(ResourceIcons::Render(QByteArray(control.caption).toInt(), 32));
    return label;
}

Qt::WindowFlags DialogFlags(unsigned styles) {
    // An application window, unlike a dialog, is no transient of the program's
    // other windows: window managers give it a taskbar entry and let it minimize.
    Qt::WindowFlags flags = Has(styles, DIALOG_APP_WINDOW) ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (Has(styles, DIALOG_SYSTEM_MENU)) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    if (Has(styles, DIALOG_MINIMIZE_BOX)) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    return flags;
}

} // namespace

QList<QWidget*> DialogBuilder::Build(QDialog& dialog, const DialogTemplate& dialogTemplate) {
    QFont font(QString::fromUtf8(dialogTemplate.fontFamily), dialogTemplate.fontPointSize);
    dialog.setFont(font);
    dialog.setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    dialog.setWindowFlags(DialogFlags(dialogTemplate.styles));
    const DialogUnits units(dialog.font());
    dialog.setFixedSize(units.ToPixelsX(dialogTemplate.width),
                        units.ToPixelsY(dialogTemplate.height));

    QList<QWidget*> controls;
    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        QWidget* widget = MakeControl(control, &dialog);
        widget->setObjectName(QString::number(control.id));
        QRect geometry = units.ToPixels(control.x, control.y, control.width, control.height);
        if (control.kind == ControlKind::ComboBox) {
            // The template's height is the dropped-down list's; the closed box keeps its own.
            geometry.setHeight(widget->sizeHint().height());
        }
        widget->setGeometry(geometry);
        const bool tabStop = Has(control.styles, STYLE_TAB_STOP);
        widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::NoFocus);
        if (tabStop && previousTabStop != nullptr) {
            QWidget::setTabOrder(previousTabStop, widget);
        }
        if (tabStop) {
            previousTabStop = widget;
        }
        controls.append(widget);
    }
    Accessibility::NameControls(dialog, dialogTemplate.id);
    return controls;
}

QWidget* DialogBuilder::MakeControl(const ControlTemplate& control, QWidget* parent) {
    switch (control.kind) {
    case ControlKind::ComboBox:
        return new QComboBox(parent);
    case ControlKind::Edit:
        return MakeEdit(control, parent);
    case ControlKind::PushButton:
        return MakeButton(control, parent);
    case ControlKind::StaticText:
        return MakeLabel(control, parent);
    case ControlKind::StaticIcon:
        return MakeIcon(control, parent);
    }
    return new QWidget(parent);
}

} // namespace kestrane
