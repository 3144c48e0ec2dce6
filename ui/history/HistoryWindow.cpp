#include "ui/history/HistoryWindow.h"

namespace kestrane {

// Written in full by the next change; this keeps the build whole meanwhile.
class HistoryWindow::Parts {};

HistoryWindow::HistoryWindow(HistoryStore::ReadAccess, Hooks, QWidget* parent)
    : QDialog(parent), parts(std::make_unique<Parts>()) {}
HistoryWindow::~HistoryWindow() = default;
void HistoryWindow::Refresh() {}

} // namespace kestrane
