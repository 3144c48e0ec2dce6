#pragma once

#include <QString>

class QWidget;

namespace kestrane {

/// What screen readers are told of the program's windows. UI thread only.
class Accessibility {
public:
    /// Once, before the first window: the main window is told to assistive
    /// technology as an application window (a frame), not as a dialog.
    static void Install();
    /// Gives every control built from the dialog template `templateId` inside
    /// `dialog` its accessible name and description.
    static void NameControls(QWidget& dialog, int templateId);
    /// Tells a screen reader, without moving the focus, that something came:
    /// `text` is read out as a polite announcement.
    static void Announce(QWidget& window, const QString& text);
};

} // namespace kestrane
