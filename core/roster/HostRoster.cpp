#include "core/roster/HostRoster.h"

#include "chat/PeerName.h"
#include "core/NetworkText.h"

#include <QComboBox>
#include <utility>

namespace kestrane {
namespace {

const QString kBroadcastEntry = QStringLiteral("<< Broadcast >>");
// Where an entry keeps when its host was last heard from.
constexpr int kHeardRole = Qt::UserRole + 1;

} // namespace

HostRoster::HostRoster(QComboBox& rosterBox, std::function<void(const QString&)> writeNote)
    : box(rosterBox), note(std::move(writeNote)) {}

void HostRoster::ListBroadcast() {
    broadcastListed = true;
    box.insertItem(0, kBroadcastEntry);
    box.setCurrentIndex(0);
}

std::string HostRoster::NameAt(int index) const {
    const QVariant bytes = box.itemData(index);
    return bytes.isValid() ? bytes.toByteArray().toStdString() : box.itemText(index).toStdString();
}

std::optional<std::string> HostRoster::AddressOf(const std::string& name) const {
    return peerAddresses.AddressOf(name);
}

void HostRoster::Add(const std::string& name, const std::string& address) {
    int index = IndexOf(name);
    if (index < 0) {
        if (box.count() - FirstHostIndex() >= kMostHosts) {
            DropLeastRecentlyHeard();
        }
        index = RosterPlace(name);
        box.insertItem(index, NetworkName(name), QByteArray::fromStdString(name));
    }
    box.setItemData(index, QVariant::fromValue(++hearings), kHeardRole);
    if (const std::optional<std::string> before = peerAddresses.Note(name, address)) {
        // Nothing proves who sent a datagram: the user should see a name move.
        note(QStringLiteral("%1 now speaks from %2, no longer from %3")
                 .arg(NetworkName(name), QString::fromStdString(address),
                      QString::fromStdString(*before)));
    }
}

int HostRoster::Find(const std::string& nameOrAddress) const {
    if (const int index = IndexOf(nameOrAddress); index >= 0) {
        return index;
    }
    for (int index = FirstHostIndex(); index < box.count(); ++index) {
        if (peerAddresses.AddressOf(NameAt(index)) == nameOrAddress) {
            return index;
        }
    }
    return -1;
}

std::vector<std::string> HostRoster::Names() const {
    std::vector<std::string> names;
    for (int index = FirstHostIndex(); index < box.count(); ++index) {
        names.push_back(NameAt(index));
    }
    return names;
}

void HostRoster::SetAway(const std::string& name, bool away) {
    const int index = IndexOf(name);
    if (index < 0) {
        return;
    }
    // The entry's data keeps the name; only what the person reads changes.
    box.setItemText(index,
                    away ? NetworkName(name) + QStringLiteral(" (away)") : NetworkName(name));
}

int HostRoster::FirstHostIndex() const {
    // Index 0 is the broadcast entry whatever a host calls itself, once the
    // network has started; hosts heard from before that are listed from 0.
    return broadcastListed ? 1 : 0;
}

int HostRoster::IndexOf(const std::string& name) const {
    for (int index = FirstHostIndex(); index < box.count(); ++index) {
        if (IsSamePeerName(NameAt(index), name)) {
            return index;
        }
    }
    return -1;
}

int HostRoster::RosterPlace(const std::string& name) const {
    int place = FirstHostIndex();
    for (int index = place; index < box.count(); ++index) {
        if (PeerNameLess(NameAt(index), name)) {
            place = index + 1;
        }
    }
    return place;
}

void HostRoster::DropLeastRecentlyHeard() {
    int oldest = -1;
    std::uint64_t oldestHeard = 0;
    for (int index = FirstHostIndex(); index < box.count(); ++index) {
        const std::uint64_t heard = box.itemData(index, kHeardRole).toULongLong();
        if (index != box.currentIndex() && (oldest < 0 || heard < oldestHeard)) {
            oldest = index;
            oldestHeard = heard;
        }
    }
    if (oldest < 0) {
        return;
    }
    const std::string dropped = NameAt(oldest);
    if (!std::exchange(rosterFullNoted, true)) {
        note(QStringLiteral("The list of hosts is full (it holds 1,024): each new name takes "
                            "the place of the host heard from least recently, %1 first")
                 .arg(NetworkName(dropped)));
    }
    peerAddresses.Forget(dropped);
    box.removeItem(oldest);
}

void HostRoster::Remove(const std::string& name) {
    const int index = IndexOf(name);
    if (index < 0) {
        return;
    }
    peerAddresses.Forget(name);
    const bool wasSelected = box.currentIndex() == index;
    box.removeItem(index);
    rosterFullNoted = false;
    if (wasSelected) {
        // Qt would select a neighbour; a line must never go to a host the user
        // did not choose.
        box.setCurrentIndex(-1);
    }
}

} // namespace kestrane
