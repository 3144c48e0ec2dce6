#include "ui/RosterBox.h"

#include "core/roster/HostRoster.h"

#include <QComboBox>
#include <utility>

namespace kestrane {

RosterBox::RosterBox(QComboBox& rosterBox, HostRoster& rosterHosts)
    : QObject(&rosterBox), box(rosterBox), hosts(rosterHosts) {
    box.setModel(&hosts);
    hosts.ChosenRow([this] { return box.currentIndex(); });
    connect(&hosts, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                choiceLost = box.currentIndex() >= first && box.currentIndex() <= last;
            });
    // Runs after the box's own handling, which has chosen a neighbour.
    connect(&hosts, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (std::exchange(choiceLost, false)) {
            box.setCurrentIndex(-1);
        }
    });
}

bool RosterBox::Choose(const std::string& name) {
    const int row = hosts.Find(name);
    if (row <= 0) {
        return false;
    }
    box.setCurrentIndex(row);
    return true;
}

Recipient RosterBox::Chosen() const {
    Recipient recipient;
    recipient.index = box.currentIndex();
    if (recipient.index > 0) {
        recipient.name = hosts.NameAt(recipient.index);
        recipient.address = hosts.AddressOf(recipient.name).value_or(std::string());
    }
    return recipient;
}

} // namespace kestrane
