#include "ui/accessibility/Accessibility.h"

namespace kestrane {

void Accessibility::Install() {}

void Accessibility::NameControls(QWidget&, int) {}

void Accessibility::Announce(QWidget&, const QString&) {}

} // namespace kestrane
