#include "ui/trust/VerifyDialog.h"

#include "security/Fingerprint.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrane {
namespace {

// Every text here may hold the peer's name: plain text only.
QLabel* PlainLabel(const QString& text, QWidget* parent, const char* objectName) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QLabel* SelectableLabel(const QString& text, QWidget* parent, const char* objectName) {
    QLabel* label = PlainLabel(text, parent, objectName);
    label->setWordWrap(false);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QPushButton* Button(const QString& text, QWidget* parent, const char* objectName) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(objectName));
    button->setAccessibleName(QString(text).remove(QLatin1Char('&')));
    button->setAutoDefault(false); // Enter must not answer for the person
    return button;
}

// Qt takes "[*]" in a title for the unsaved-changes mark; doubled it shows as itself.
QString PlainTitle(QString title) {
    return title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

} // namespace

VerifyDialog::VerifyDialog(const QString& name, const PublicKey& own, const PublicKey& peer,
                           bool newKey, QWidget* parent)
    : QDialog(parent), column(new QVBoxLayout(this)) {
    setWindowTitle(PlainTitle(QStringLiteral("Verify %1").arg(name)));
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
    AddCode(name, own, peer);
    AddDiffer(name);
    AddButtons(newKey);
}

void VerifyDialog::AddCode(const QString& name, const PublicKey& own, const PublicKey& peer) {
    column->addWidget(
        PlainLabel(QStringLiteral("Compare this code with the one %1's screen shows:").arg(name),
                   this, "intro"));
    const QString code = QString::fromStdString(SafetyCode(own, peer));
    QLabel* codeLabel = SelectableLabel(code, this, "code");
    QFont large = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    large.setPointSizeF(large.pointSizeF() * 2.5);
    large.setBold(true);
    codeLabel->setFont(large);
    codeLabel->setAlignment(Qt::AlignCenter);
    codeLabel->setAccessibleName(QStringLiteral("Safety code %1").arg(code));
    // The code comes first, to a screen reader and to the keyboard, which can copy it.
    codeLabel->setFocusPolicy(Qt::StrongFocus);
    codeLabel->setFocus();
    column->addWidget(codeLabel);
    column->addWidget(PlainLabel(
        QStringLiteral(
            "The code is made from the keys of both computers, so both screens show the "
            "same code only if no other computer is in between. Compare the screens side "
            "by side, or read the code out to each other by voice."),
        this, "explanation"));
    const QString ownLine = QString::fromStdString(Fingerprint(own));
    const QString peerLine = QString::fromStdString(Fingerprint(peer));
    // Fixed width keeps the groups of both lines under each other.
    for (QLabel* line :
         {SelectableLabel(QStringLiteral("This computer: %1").arg(ownLine), this, "ownFingerprint"),
          SelectableLabel(QStringLiteral("%1: %2").arg(name, peerLine), this, "peerFingerprint")}) {
        line->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        column->addWidget(line);
    }
}

void VerifyDialog::AddDiffer(const QString& name) {
    differ = new QWidget(this);
    differ->setObjectName(QStringLiteral("differPanel"));
    auto* row = new QHBoxLayout(differ);
    row->setContentsMargins({});
    row->addWidget(PlainLabel(QStringLiteral("The codes differ: another computer may be pretending "
                                             "to be %1. Block this key so that nothing from it is "
                                             "shown as %1's.")
                                  .arg(name),
                              differ, "differExplanation"),
                   1);
    block = Button(QStringLiteral("Block"), differ, "block");
    block->setAccessibleName(QStringLiteral("Block this key"));
    connect(block, &QPushButton::clicked, this, [this] {
        emit BlockRequested();
        reject();
    });
    row->addWidget(block);
    differ->hide();
    column->addWidget(differ);
}

void VerifyDialog::AddButtons(bool newKey) {
    auto* row = new QHBoxLayout;
    QPushButton* match = Button(newKey ? QStringLiteral("The codes &match: accept this key")
                                       : QStringLiteral("The codes &match"),
                                this, "match");
    QPushButton* differs = Button(QStringLiteral("They &differ"), this, "differ");
    QPushButton* close = Button(QStringLiteral("Close"), this, "close");
    close->setDefault(true);
    connect(match, &QPushButton::clicked, this, [this] {
        emit Matched();
        accept();
    });
    connect(differs, &QPushButton::clicked, this, [this] {
        differ->show();
        block->setFocus();
    });
    connect(close, &QPushButton::clicked, this, &VerifyDialog::reject);
    row->addWidget(match);
    row->addWidget(differs);
    row->addStretch();
    row->addWidget(close);
    column->addLayout(row);
}

} // namespace kestrane
