#include "ui/CAboutDlg.h"

#include "res/DialogTemplate.h"
#include "ui/DialogBuilder.h"
#include "ui/DialogUnits.h"
#include "ui/OwnKeyLabel.h"
#include "ui/ResourceIcons.h"

#include <QLabel>
#include <QPushButton>

namespace kestrane {

CAboutDlg::CAboutDlg(QWidget* parent, const KeyPair* ownKeys) : QDialog(parent) {
    const DialogTemplate& about = *FindDialogTemplate(IDD_ABOUTBOX);
    DialogBuilder::Build(*this, about);
    setWindowIcon(ResourceIcons::WindowIcon());
    auto* ok = findChild<QPushButton*>(QStringLiteral("1"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    if (ownKeys != nullptr) {
        // In the room below the version, lined up with it.
        const DialogUnits units(font());
        QLabel* key = OwnKeyLabel::Make(*ownKeys);
        key->setParent(this);
        key->setGeometry(units.ToPixels(40, 28, about.width - 47, 10));
    }
}

} // namespace kestrane
