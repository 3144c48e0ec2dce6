#pragma once

#include "chat/PeerAddressBook.h"

#include <QString>
#include <functional>
#include <optional>
#include <string>

class QComboBox;

namespace kestrane {

/// The hosts the window's roster lists, in order after the broadcast entry,
/// and where each last spoke from. At most kMostHosts are listed, so the
/// address book stays as small. Does not own the combo box. UI thread only.
class HostRoster {
public:
    /// Most hosts the roster lists, the broadcast entry aside.
    static constexpr int kMostHosts = 1024;

    /// `note` writes a line in the window's log.
    HostRoster(QComboBox& box, std::function<void(const QString&)> note);

    /// Puts the broadcast entry first and selects it; hosts listed before stay.
    void ListBroadcast();
    /// Lists a host unless the roster holds it already (whole name, any case).
    /// Notes the `address` it spoke from, and logs it when a listed name speaks
    /// from another address than before. With kMostHosts listed a new name is
    /// neither listed nor noted, and the log says so once until a host is removed.
    void Add(const std::string& name, const std::string& address);
    /// Removes the host's entry (whole name, any case), never the broadcast
    /// entry; when it was selected, nothing is selected afterwards.
    void Remove(const std::string& name);
    /// The entry's name as it came on the wire.
    std::string NameAt(int index) const;
    /// Where a listed host last spoke from.
    std::optional<std::string> AddressOf(const std::string& name) const;

private:
    /// Where hosts begin: after the broadcast entry once there is one.
    int FirstHostIndex() const;
    /// Where `name` goes, in order; nothing when it is listed.
    std::optional<int> RosterPlace(const std::string& name) const;

    QComboBox& box;
    std::function<void(const QString&)> note;
    PeerAddressBook peerAddresses;
    bool broadcastListed = false;
    bool rosterFullNoted = false; // a host was refused since the roster was last not full
};

} // namespace kestrane
