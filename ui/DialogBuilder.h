#pragma once

#include "res/DialogTemplate.h"

#include <QList>

class QDialog;
class QWidget;

namespace kestrane {

/// Makes a dialog's window and controls from its template. UI thread only.
class DialogBuilder {
public:
    /// Sets the caption, font, fixed size and window flags of `dialog` and makes
    /// its controls as its children, in template order: each control's
    /// objectName is its id, positions are converted from dialog units with the
    /// dialog font, the tab order is the template order and the template's
    /// default button becomes the default; each control gets its accessible
    /// name and description. Returns the controls in that order.
    static QList<QWidget*> Build(QDialog& dialog, const DialogTemplate& dialogTemplate);

private:
    static QWidget* MakeControl(const ControlTemplate& control, QWidget* parent);
};

} // namespace kestrane
