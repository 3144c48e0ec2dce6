#pragma once

#include "platform/MessageBox.h"

namespace kestrane {

class UiBridge;

/// The message-box hook the application installs: boxes from code below the
/// window layer show as a plain-text QMessageBox on the UI thread. A caller on
/// another thread waits until the box is dismissed; once `bridge` is closed
/// (the main window is gone) the text goes to stderr instead and nobody waits.
/// `bridge` must outlive the hook's installation.
MessageBoxHook MakeUiMessageBoxHook(UiBridge& bridge);

} // namespace kestrane
