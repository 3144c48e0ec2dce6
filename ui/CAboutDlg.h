#pragma once

#include <QDialog>

namespace kestrane {

class KeyPair;

/// The About box: the program's icon, name and version, and OK; below them,
/// when given, this computer's key as a short code. OK, Enter, Esc and the
/// close button end it. UI thread only.
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr, const KeyPair* ownKeys = nullptr);
};

} // namespace kestrane
