#include "ui/CAboutDlg.h"

#include "res/DialogTemplate.h"
#include "ui/DialogBuilder.h"
#include "ui/ResourceIcons.h"

#include <QPushButton>

namespace kestrane {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    DialogBuilder::Build(*this, *FindDialogTemplate(IDD_ABOUTBOX));
    setWindowIcon(ResourceIcons::WindowIcon());
    auto* ok = findChild<QPushButton*>(QStringLiteral("1"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace kestrane
