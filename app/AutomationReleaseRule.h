#pragma once

namespace kestrane {

class CTavrinDlg;

/// What happens when the last automation object has gone. Started by the
/// user (`userControl` true): nothing. Started for an automation client: the
/// user is put in control, so this happens once, and the main window is
/// destroyed, which ends the program; but while one of the program's modal
/// dialogs (About box, message dialog, message box) is open the window stays
/// and the program goes on in the user's hands. Without a main window the
/// event loop is asked to quit. UI thread only.
void ApplyReleaseRule(bool& userControl, CTavrinDlg* mainWindow);

} // namespace kestrane
