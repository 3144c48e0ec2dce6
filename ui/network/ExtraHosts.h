#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <vector>

namespace kestrane {

class BoundedLookup;

/// The hosts and subnets beyond the broadcast domain that get the hello and
/// every line to everybody by unicast: routed segments, VPNs. Kept in the
/// settings (QSettings "kestrane"/"kestrane", key "network/extraHosts"), empty
/// by default. Each entry is a dotted address ("10.8.0.7"), a host name
/// ("pc7.branch.example"), or a CIDR range ("10.20.0.0/24", which gets its
/// directed broadcast address). Names are looked up off the UI thread, each
/// within a bound, when the list is loaded or changed and again every few
/// minutes; the addresses found go to BroadcastFanout. UI thread only.
class ExtraHosts : public QObject {
public:
    static constexpr int kMostEntries = 64;

    /// One entry read: an address to send to, or a name still to look up.
    struct Entry {
        QString text;                     // as the person wrote it, trimmed
        std::optional<in_addr_t> address; // network byte order; empty for a name
    };
    /// The entry `text` stands for, or an error that says what is wrong with it.
    static std::optional<Entry> Parse(const QString& text, QString* error);

    /// `applied` runs after a new set of addresses went to BroadcastFanout
    /// (the caller greets them); `lookups` runs the name lookups.
    ExtraHosts(BoundedLookup& lookups, std::function<void()> applied, QObject* parent = nullptr);

    /// Reads the settings and starts the lookups.
    void Load();
    QStringList Entries() const;
    /// Checks every line; on the first bad one returns its error (naming the
    /// line) and changes nothing. Otherwise saves, applies and returns empty.
    std::optional<QString> SetEntries(const QStringList& lines);
    /// Each entry with what it gives now: "10.20.0.255", "192.168.7.3",
    /// "not found", "looking up".
    std::vector<std::pair<QString, QString>> Status() const;

private:
    BoundedLookup& lookups;
    std::function<void()> applied;
    QStringList entries;
};

} // namespace kestrane
