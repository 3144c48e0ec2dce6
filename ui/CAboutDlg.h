#pragma once

#include <QDialog>

namespace kestrane {

/// The About box: the program's icon, name and version, and OK. OK, Enter,
/// Esc and the close button end it. UI thread only.
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace kestrane
