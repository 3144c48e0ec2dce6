#include "core/roster/HostRoster.h"

#include "chat/PeerName.h"
#include "core/NetworkText.h"

#include <utility>

namespace kestrane {

const QString HostRoster::kBroadcastEntry = QStringLiteral("<< Broadcast >>");

HostRoster::HostRoster(std::function<void(const QString&)> writeNote)
    : note(std::move(writeNote)) {}

void HostRoster::ListBroadcast() {
    beginInsertRows({}, 0, 0);
    broadcastListed = true;
    endInsertRows();
}

int HostRoster::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FirstHostRow() + static_cast<int>(entries.size());
}

QVariant HostRoster::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    if (index.row() < FirstHostRow()) {
        return role == Qt::DisplayRole || role == Qt::EditRole ? QVariant(kBroadcastEntry)
                                                               : QVariant();
    }
    const Entry& entry = EntryAt(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        // Only what the person reads changes; the name stays under UserRole.
        return entry.away ? NetworkName(entry.name) + QStringLiteral(" (away)")
                          : NetworkName(entry.name);
    case Qt::UserRole:
        return QByteArray::fromStdString(entry.name);
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole:
        return keyWords ? QVariant(keyWords(entry.name)) : QVariant();
    default:
        return {};
    }
}

void HostRoster::KeysChanged(const std::string& name) {
    if (const int row = RowOf(name); row >= 0) {
        emit dataChanged(index(row), index(row), {Qt::ToolTipRole, Qt::AccessibleDescriptionRole});
    }
}

std::string HostRoster::NameAt(int row) const {
    if (row < 0 || row >= rowCount()) {
        return {};
    }
    return row < FirstHostRow() ? kBroadcastEntry.toStdString() : EntryAt(row).name;
}

std::optional<std::string> HostRoster::AddressOf(const std::string& name) const {
    return peerAddresses.AddressOf(name);
}

void HostRoster::Add(const std::string& name, const std::string& address) {
    int row = RowOf(name);
    if (row < 0) {
        if (static_cast<int>(entries.size()) >= kMostHosts) {
            DropLeastRecentlyHeard();
        }
        row = RosterPlace(name);
        beginInsertRows({}, row, row);
        entries.insert(entries.begin() + (row - FirstHostRow()), Entry{name, 0, false});
        endInsertRows();
    }
    entries[static_cast<std::size_t>(row - FirstHostRow())].heard = ++hearings;
    if (const std::optional<std::string> before = peerAddresses.Note(name, address)) {
        // Nothing proves who sent a datagram: the user should see a name move.
        note(QStringLiteral("%1 now speaks from %2, no longer from %3")
                 .arg(NetworkName(name), QString::fromStdString(address),
                      QString::fromStdString(*before)));
    }
}

int HostRoster::Find(const std::string& nameOrAddress) const {
    if (const int row = RowOf(nameOrAddress); row >= 0) {
        return row;
    }
    for (int row = FirstHostRow(); row < rowCount(); ++row) {
        if (peerAddresses.AddressOf(NameAt(row)) == nameOrAddress) {
            return row;
        }
    }
    return -1;
}

std::vector<int> HostRoster::RowsWithFirstLabel(const std::string& label) const {
    std::vector<int> rows;
    for (int row = FirstHostRow(); row < rowCount(); ++row) {
        const std::string name = NameAt(row);
        if (IsSamePeerName(std::string_view(name).substr(0, name.find('.')), label)) {
            rows.push_back(row);
        }
    }
    return rows;
}

std::vector<std::string> HostRoster::Names() const {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const Entry& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

void HostRoster::SetAway(const std::string& name, bool away) {
    const int row = RowOf(name);
    if (row < 0 || entries[static_cast<std::size_t>(row - FirstHostRow())].away == away) {
        return;
    }
    entries[static_cast<std::size_t>(row - FirstHostRow())].away = away;
    emit dataChanged(index(row), index(row), {Qt::DisplayRole, Qt::EditRole});
}

int HostRoster::FirstHostRow() const {
    // Row 0 is the broadcast entry whatever a host calls itself, once the
    // network has started; hosts heard from before that are listed from 0.
    return broadcastListed ? 1 : 0;
}

int HostRoster::RowOf(const std::string& name) const {
    for (std::size_t at = 0; at < entries.size(); ++at) {
        if (IsSamePeerName(entries[at].name, name)) {
            return FirstHostRow() + static_cast<int>(at);
        }
    }
    return -1;
}

int HostRoster::RosterPlace(const std::string& name) const {
    int place = FirstHostRow();
    for (std::size_t at = 0; at < entries.size(); ++at) {
        if (PeerNameLess(entries[at].name, name)) {
            place = FirstHostRow() + static_cast<int>(at) + 1;
        }
    }
    return place;
}

void HostRoster::RemoveRow(int row) {
    peerAddresses.Forget(NameAt(row));
    beginRemoveRows({}, row, row);
    entries.erase(entries.begin() + (row - FirstHostRow()));
    endRemoveRows();
}

void HostRoster::DropLeastRecentlyHeard() {
    const int chosen = chosenRow ? chosenRow() : -1;
    int oldest = -1;
    std::uint64_t oldestHeard = 0;
    for (int row = FirstHostRow(); row < rowCount(); ++row) {
        const std::uint64_t heard = EntryAt(row).heard;
        if (row != chosen && (oldest < 0 || heard < oldestHeard)) {
            oldest = row;
            oldestHeard = heard;
        }
    }
    if (oldest < 0) {
        return;
    }
    if (!std::exchange(rosterFullNoted, true)) {
        note(QStringLiteral("The list of hosts is full (it holds 1,024): each new name takes "
                            "the place of the host heard from least recently, %1 first")
                 .arg(NetworkName(NameAt(oldest))));
    }
    RemoveRow(oldest);
}

void HostRoster::Remove(const std::string& name) {
    const int row = RowOf(name);
    if (row < 0) {
        return;
    }
    RemoveRow(row);
    rosterFullNoted = false;
}

} // namespace kestrane
