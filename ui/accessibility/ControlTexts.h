#pragma once

#include "res/DialogTemplate.h"

namespace kestrane {

/// What a screen reader says of one control of a dialog template.
struct ControlTexts {
    int dialogId;
    int controlId;
    ControlKind kind; // tells apart the controls that share CONTROL_NO_ID
    const char* name; // null: the control's own text, which changes as it is used
    const char* description;
};

/// The texts of control `controlId` of kind `kind` in template `dialogId`;
/// null for a control the table does not know.
const ControlTexts* FindControlTexts(int dialogId, int controlId, ControlKind kind);

} // namespace kestrane
