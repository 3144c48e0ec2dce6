#include "ui/trust/KeyChangeBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrane {
namespace {

// The name is a peer's text: plain labels only.
QLabel* PlainLabel(QWidget* parent, const char* objectName) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

// A button's text takes "&" for a shortcut mark; doubled it shows as itself.
QString ButtonText(QString text) {
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

// The sentence is English, so is the month; the year only when it is not this one.
QString Day(QDate date) {
    const bool thisYear = date.year() == QDate::currentDate().year();
    return QLocale::c().toString(date, thisYear ? QStringLiteral("d MMMM")
                                                : QStringLiteral("d MMMM yyyy"));
}

} // namespace

KeyChangeBar::KeyChangeBar(QWidget* parent)
    : QFrame(parent), headline(PlainLabel(this, "headline")),
      explanation(PlainLabel(this, "explanation")), compare(AddButton("compare", {}, {})),
      accept(
          AddButton("accept", QStringLiteral("&Accept new key"), QStringLiteral("Accept new key"))),
      block(AddButton("block", QStringLiteral("&Block"), QStringLiteral("Block the new key"))) {
    setObjectName(QStringLiteral("keyChangeBar"));
    setAccessibleName(QStringLiteral("Key change warning"));
    setFrameShape(QFrame::StyledPanel);
    // The palette's tooltip colours: a soft background with text made for it.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::ToolTipBase));
    colours.setColor(QPalette::WindowText, colours.color(QPalette::ToolTipText));
    setPalette(colours);
    setAutoFillBackground(true);
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    auto* column = new QVBoxLayout(this);
    column->addWidget(headline);
    column->addWidget(explanation);
    auto* row = new QHBoxLayout;
    row->addWidget(compare);
    row->addWidget(accept);
    row->addWidget(block);
    row->addStretch();
    column->addLayout(row);
    connect(compare, &QPushButton::clicked, this, [this] { emit CompareRequested(name); });
    connect(accept, &QPushButton::clicked, this, [this] { emit AcceptRequested(name); });
    connect(block, &QPushButton::clicked, this, [this] { emit BlockRequested(name); });
    hide();
}

QPushButton* KeyChangeBar::AddButton(const char* objectName, const QString& text,
                                     const QString& accessibleName) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(objectName));
    button->setAccessibleName(accessibleName);
    return button;
}

void KeyChangeBar::Show(const Change& change) {
    name = change.name;
    headline->setText(QStringLiteral("%1 is using a different key.").arg(name));
    explanation->setText(Explanation(change));
    const QString compareText = QStringLiteral("Compare codes with %1…").arg(name);
    // Alt+C, Alt+A and Alt+B: letters the window's own buttons leave free.
    compare->setText(QStringLiteral("&") + ButtonText(compareText));
    compare->setAccessibleName(compareText);
    setAccessibleDescription(Text());
    show();
}

void KeyChangeBar::Clear() {
    hide();
}

QString KeyChangeBar::Text() const {
    return headline->text() + QLatin1Char(' ') + explanation->text();
}

QString KeyChangeBar::Explanation(const Change& change) {
    QString text =
        QStringLiteral("Since %1 Kestrane has talked with %2 under another key%3. This is expected "
                       "if %2 was reinstalled or its key file was lost. It can also mean another "
                       "computer is pretending to be %2. Lines to %2 wait until you decide; lines "
                       "that come under the new key are marked.")
            .arg(Day(change.since), change.name,
                 change.verified ? QStringLiteral(" (you had verified it)") : QString());
    if (change.more == 1) {
        text += QStringLiteral(" 1 more new key under this name waits too.");
    } else if (change.more > 1) {
        text += QStringLiteral(" %1 more new keys under this name wait too.").arg(change.more);
    }
    return text;
}

} // namespace kestrane
