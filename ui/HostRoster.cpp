#include "ui/HostRoster.h"

#include "chat/PeerName.h"
#include "ui/NetworkText.h"

#include <QComboBox>
#include <utility>

namespace kestrane {
namespace {

const QString kBroadcastEntry = QStringLiteral("<< Broadcast >>");

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
    if (const std::optional<int> place = RosterPlace(name)) {
        if (box.count() - FirstHostIndex() >= kMostHosts) {
            if (!std::exchange(rosterFullNoted, true)) {
                note(QStringLiteral("The list of hosts is full: new names are not listed "
                                    "(it holds at most 1,024)"));
            }
            return;
        }
        box.insertItem(*place, DecodeNetworkText(name), QByteArray::fromStdString(name));
    }
    if (const std::optional<std::string> before = peerAddresses.Note(name, address)) {
        // Nothing proves who sent a datagram: the user should see a name move.
        note(QStringLiteral("%1 now speaks from %2, no longer from %3")
                 .arg(DecodeNetworkText(name), QString::fromStdString(address),
                      QString::fromStdString(*before)));
    }
}

int HostRoster::FirstHostIndex() const {
    // Index 0 is the broadcast entry whatever a host calls itself, once the
    // network has started; hosts heard from before that are listed from 0.
    return broadcastListed ? 1 : 0;
}

std::optional<int> HostRoster::RosterPlace(const std::string& name) const {
    int place = FirstHostIndex();
    for (int index = place; index < box.count(); ++index) {
        const std::string listed = NameAt(index);
        if (IsSamePeerName(listed, name)) {
            return std::nullopt;
        }
        if (PeerNameLess(listed, name)) {
            place = index + 1;
        }
    }
    return place;
}

void HostRoster::Remove(const std::string& name) {
    for (int index = FirstHostIndex(); index < box.count(); ++index) {
        if (IsSamePeerName(NameAt(index), name)) {
            peerAddresses.Forget(name);
            const bool wasSelected = box.currentIndex() == index;
            box.removeItem(index);
            rosterFullNoted = false;
            if (wasSelected) {
                // Qt would select a neighbour; a line must never go to a host
                // the user did not choose.
                box.setCurrentIndex(-1);
            }
            return;
        }
    }
}

} // namespace kestrane
