#pragma once

#include "chat/PeerAddressBook.h"

#include <QAbstractListModel>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrane {

/// The hosts of the roster, in order after the broadcast entry, and where each
/// last spoke from: a list model that a window's combo box shows as it is
/// (display text, and the name's bytes under Qt::UserRole). At most kMostHosts
/// are listed, so the address book stays as small; a newcomer to a full roster
/// takes the place of the host heard from least recently, never the chosen
/// one, so forged names cannot keep genuine ones out for good. UI thread only.
class HostRoster : public QAbstractListModel {
public:
    /// Most hosts the roster lists, the broadcast entry aside.
    static constexpr int kMostHosts = 1024;
    /// The broadcast entry's text.
    static const QString kBroadcastEntry;

    /// `note` writes a line in the log.
    explicit HostRoster(std::function<void(const QString&)> note);

    /// The row the person has chosen, which a full roster never drops; none
    /// (the default) when nobody chooses.
    void ChosenRow(std::function<int()> chosen) { chosenRow = std::move(chosen); }

    /// Puts the broadcast entry first; hosts listed before stay.
    void ListBroadcast();
    /// Lists a host unless the roster holds it already (whole name, any case),
    /// and counts it as heard from now. Notes the `address` it spoke from, and
    /// logs it when a listed name speaks from another address than before.
    /// With kMostHosts listed a new name replaces the host heard from least
    /// recently; the log says so once until a host is removed.
    void Add(const std::string& name, const std::string& address);
    /// Removes the host's entry (whole name, any case), never the broadcast entry.
    void Remove(const std::string& name);
    /// The entry's name as it came on the wire.
    std::string NameAt(int row) const;
    /// Where a listed host last spoke from.
    std::optional<std::string> AddressOf(const std::string& name) const;
    /// The row of the host listed as `nameOrAddress` (whole name, any case),
    /// or else of the host that last spoke from that dotted address; -1 for none.
    int Find(const std::string& nameOrAddress) const;
    /// The rows of the hosts whose name's first label (up to the first dot) is
    /// `label`, any case: "pc2" for PC2.LAN.TEST.
    std::vector<int> RowsWithFirstLabel(const std::string& label) const;
    /// The listed hosts' names as they came on the wire.
    std::vector<std::string> Names() const;
    /// Shows the host as away (it stopped answering) or as there again.
    void SetAway(const std::string& name, bool away);
    /// What is known of a host's key, in words, for its entry's tooltip and
    /// accessible description (empty: nothing said).
    void DescribeKeys(std::function<QString(const std::string& name)> words) {
        keyWords = std::move(words);
    }
    /// What DescribeKeys says of `name` changed.
    void KeysChanged(const std::string& name);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    struct Entry {
        std::string name;        // as on the wire
        std::uint64_t heard = 0; // the count at its last hearing
        bool away = false;
    };
    /// Where hosts begin: after the broadcast entry once there is one.
    int FirstHostRow() const;
    /// Where `name` is listed (whole name, any case); -1 when it is not.
    int RowOf(const std::string& name) const;
    /// Where `name` goes, in order.
    int RosterPlace(const std::string& name) const;
    void RemoveRow(int row);
    /// Unlists the host heard from least recently, unless it is chosen.
    void DropLeastRecentlyHeard();
    std::function<QString(const std::string&)> keyWords;
    const Entry& EntryAt(int row) const {
        return entries[static_cast<std::size_t>(row - FirstHostRow())];
    }

    std::function<void(const QString&)> note;
    std::function<int()> chosenRow;
    PeerAddressBook peerAddresses;
    std::vector<Entry> entries; // the hosts, in roster order
    std::uint64_t hearings = 0;
    bool broadcastListed = false;
    bool rosterFullNoted = false; // a host was dropped since the roster was last not full
};

} // namespace kestrane
