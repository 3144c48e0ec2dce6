#pragma once

class QDialog;

namespace kestrane {

/// The main window's keyboard path. From the message line Tab goes to Send and
/// then to the roster, so a person who typed a line reaches both in one or two
/// presses; the other buttons and the log follow in the template's order. The
/// roster gets a visible "To:" label at its left, which also names it to
/// screen readers. Called once the template's controls exist and before they
/// are stretched. UI thread only.
class MainTabOrder {
public:
    static void Arrange(QDialog& dialog);
};

} // namespace kestrane
