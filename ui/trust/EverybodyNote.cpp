#include "ui/trust/EverybodyNote.h"

#include "core/delivery/EverybodySetting.h"
#include "ui/WindowStretch.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <utility>

namespace kestrane {

EverybodyNote::EverybodyNote(QWidget& owner, std::function<int()> countPrivateHosts)
    : QObject(&owner), window(owner), privateHosts(std::move(countPrivateHosts)) {}

void EverybodyNote::Attach(WindowStretch& windowStretch, QComboBox& rosterBox) {
    if (note) {
        return;
    }
    stretch = &windowStretch;
    roster = &rosterBox;
    note = new QLabel(&window);
    note->setObjectName(QStringLiteral("everybodyNote"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    note->hide();
    stretch->SetFooter(note);
    // Hosts come and go with the roster's rows and marks.
    QObject::connect(roster, &QComboBox::currentIndexChanged, this, [this] { Update(); });
    QAbstractItemModel* rows = roster->model();
    QObject::connect(rows, &QAbstractItemModel::rowsInserted, this, [this] { Update(); });
    QObject::connect(rows, &QAbstractItemModel::rowsRemoved, this, [this] { Update(); });
    QObject::connect(rows, &QAbstractItemModel::dataChanged, this, [this] { Update(); });
    QObject::connect(rows, &QAbstractItemModel::modelReset, this, [this] { Update(); });
    Update();
}

void EverybodyNote::AddItem(QMenu& menu) {
    menu.addSeparator();
    QAction* only = menu.addAction(QStringLiteral("Only &Kestrane hosts get lines to everybody"));
    only->setCheckable(true);
    only->setChecked(EverybodySetting::OnlyKestrane());
    only->setToolTip(QStringLiteral("Lines to everybody go sealed to each Kestrane host whose key "
                                    "is known, never in the clear. Hosts of the original program "
                                    "and older Kestrane versions will not see them."));
    menu.setToolTipsVisible(true);
    QObject::connect(only, &QAction::toggled, this, [this](bool on) {
        EverybodySetting::SetOnlyKestrane(on);
        Update();
    });
}

void EverybodyNote::Update() {
    if (!note || !roster) {
        return;
    }
    const bool shown = roster->currentIndex() == 0 && EverybodySetting::OnlyKestrane();
    if (shown) {
        const QString text = Text(privateHosts());
        if (note->text() != text) {
            note->setText(text);
        }
    }
    if (shown == note->isHidden()) {
        note->setVisible(shown);
        stretch->Relayout();
    }
}

QString EverybodyNote::Text(int hosts) {
    const QString others = QStringLiteral("hosts of the original program and older Kestrane "
                                          "versions will not see them.");
    if (hosts <= 0) {
        return QStringLiteral("Lines to everybody go only to Kestrane hosts that can receive "
                              "them privately, and none is present now: nothing can be sent "
                              "to everybody.");
    }
    if (hosts == 1) {
        return QStringLiteral("Lines to everybody go only to the one Kestrane host that can "
                              "receive them privately; ") +
               others;
    }
    return QStringLiteral("Lines to everybody go only to the %1 Kestrane hosts that can receive "
                          "them privately; ")
               .arg(hosts) +
           others;
}

} // namespace kestrane
