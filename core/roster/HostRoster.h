#pragma once

#include "chat/PeerAddressBook.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QComboBox;

namespace kestrane {

/// The hosts the window's roster lists, in order after the broadcast entry,
/// and where each last spoke from. At most kMostHosts are listed, so the
/// address book stays as small; a newcomer to a full roster takes the place of
/// the host heard from least recently, so forged names cannot keep genuine
/// ones out for good. Does not own the combo box. UI thread only.
class HostRoster {
public:
    /// Most hosts the roster lists, the broadcast entry aside.
    static constexpr int kMostHosts = 1024;

    /// `note` writes a line in the window's log.
    HostRoster(QComboBox& box, std::function<void(const QString&)> note);

    /// Puts the broadcast entry first and selects it; hosts listed before stay.
    void ListBroadcast();
    /// Lists a host unless the roster holds it already (whole name, any case),
    /// and counts it as heard from now. Notes the `address` it spoke from, and
    /// logs it when a listed name speaks from another address than before.
    /// With kMostHosts listed a new name replaces the host heard from least
    /// recently, never the selected one; the log says so once until a host is
    /// removed.
    void Add(const std::string& name, const std::string& address);
    /// Removes the host's entry (whole name, any case), never the broadcast
    /// entry; when it was selected, nothing is selected afterwards.
    void Remove(const std::string& name);
    /// The entry's name as it came on the wire.
    std::string NameAt(int index) const;
    /// Where a listed host last spoke from.
    std::optional<std::string> AddressOf(const std::string& name) const;
    /// The index of the host listed as `nameOrAddress` (whole name, any case),
    /// or else of the host that last spoke from that dotted address; -1 for none.
    int Find(const std::string& nameOrAddress) const;
    /// The listed hosts' names as they came on the wire.
    std::vector<std::string> Names() const;
    /// Shows the host as away (it stopped answering) or as there again.
    void SetAway(const std::string& name, bool away);

private:
    /// Where hosts begin: after the broadcast entry once there is one.
    int FirstHostIndex() const;
    /// Where `name` is listed (whole name, any case); -1 when it is not.
    int IndexOf(const std::string& name) const;
    /// Where `name` goes, in order.
    int RosterPlace(const std::string& name) const;
    /// Unlists the host heard from least recently, unless it is selected.
    void DropLeastRecentlyHeard();

    QComboBox& box;
    std::function<void(const QString&)> note;
    PeerAddressBook peerAddresses;
    std::uint64_t hearings = 0; // each entry keeps the count at its last hearing
    bool broadcastListed = false;
    bool rosterFullNoted = false; // a host was dropped since the roster was last not full
};

} // namespace kestrane
