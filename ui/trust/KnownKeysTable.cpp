#include "ui/trust/KnownKeysTable.h"

#include "core/NetworkText.h"
#include "core/identity/PeerKeys.h"
#include "security/Fingerprint.h"
#include "ui/trust/KeyComparison.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kestrane {
namespace {

QString StateWords(KnownKeys::State state) {
    switch (state) {
    case KnownKeys::State::Trusted:
        return QStringLiteral("Trusted, not verified");
    case KnownKeys::State::Verified:
        return QStringLiteral("Verified");
    case KnownKeys::State::New:
        return QStringLiteral("Different key, undecided");
    case KnownKeys::State::Blocked:
        return QStringLiteral("Blocked");
    }
    return {};
}

QString When(std::int64_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

KnownKeysTable::KnownKeysTable(PeerKeys& peerKeys, const KeyPair& ownKeys, QWidget* parent)
    : QWidget(parent), keys(peerKeys), own(ownKeys) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(QStringLiteral("&Known keys"));
    table = new QTableWidget(0, 5);
    table->setObjectName(QStringLiteral("knownKeys"));
    table->setAccessibleName(QStringLiteral("Known keys"));
    label->setBuddy(table);
    table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Key"),
                                      QStringLiteral("State"), QStringLiteral("First heard"),
                                      QStringLiteral("Last heard")});
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    auto* buttons = new QHBoxLayout;
    verify = new QPushButton(QStringLiteral("&Verify..."));
    forget = new QPushButton(QStringLiteral("&Forget"));
    unblock = new QPushButton(QStringLiteral("&Unblock"));
    for (QPushButton* button : {verify, forget, unblock}) {
        button->setObjectName(button->text().remove('&').remove(QStringLiteral("...")).toLower());
        buttons->addWidget(button);
    }
    buttons->addStretch();
    column->addWidget(label);
    column->addWidget(table);
    column->addLayout(buttons);
    connect(table, &QTableWidget::itemSelectionChanged, this, &KnownKeysTable::Follow);
    connect(verify, &QPushButton::clicked, this, [this] {
        if (const auto row = Chosen(); row && !row->blocked) {
            KeyComparison::Open(*this, keys, own, row->name, row->key, row->undecided);
        }
    });
    // Forgetting a blocked key is unblocking it; the buttons say which.
    for (QPushButton* button : {forget, unblock}) {
        connect(button, &QPushButton::clicked, this, [this] {
            if (const auto row = Chosen()) {
                keys.Forget(row->name, row->key);
                Refresh();
            }
        });
    }
    refresh.setInterval(kRefreshEvery);
    refresh.callOnTimeout(this, &KnownKeysTable::Refresh);
    Refresh();
}

void KnownKeysTable::Refresh() {
    const std::optional<Row> chosen = Chosen();
    rows.clear();
    table->setRowCount(0);
    for (const auto& [byName, entry] : keys.Keys().Entries()) {
        for (const KnownKeys::Key& key : entry.keys) {
            const int at = table->rowCount();
            table->insertRow(at);
            // Items of a QTableWidget show their text as it is, never as markup.
            const QStringList cells{
                NetworkName(entry.name), QString::fromStdString(Fingerprint(key.key)),
                StateWords(key.state), When(key.firstHeard), When(key.lastHeard)};
            for (int cell = 0; cell < cells.size(); ++cell) {
                table->setItem(at, cell, new QTableWidgetItem(cells[cell]));
            }
            rows.push_back({.name = entry.name,
                            .key = key.key,
                            .trusting = key.state == KnownKeys::State::Trusted ||
                                        key.state == KnownKeys::State::Verified,
                            .undecided = key.state == KnownKeys::State::New,
                            .blocked = key.state == KnownKeys::State::Blocked});
            if (chosen && chosen->name == entry.name && chosen->key == key.key) {
                table->selectRow(at);
            }
        }
    }
    Follow();
}

std::optional<KnownKeysTable::Row> KnownKeysTable::Chosen() const {
    const int at = table->currentRow();
    if (at < 0 || static_cast<std::size_t>(at) >= rows.size() || table->selectedItems().isEmpty()) {
        return std::nullopt;
    }
    return rows[static_cast<std::size_t>(at)];
}

void KnownKeysTable::Follow() {
    const std::optional<Row> row = Chosen();
    verify->setEnabled(row && !row->blocked);
    forget->setEnabled(row && !row->blocked);
    unblock->setEnabled(row && row->blocked);
}

void KnownKeysTable::showEvent(QShowEvent* event) {
    Refresh();
    refresh.start();
    QWidget::showEvent(event);
}

void KnownKeysTable::hideEvent(QHideEvent* event) {
    refresh.stop();
    QWidget::hideEvent(event);
}

} // namespace kestrane
