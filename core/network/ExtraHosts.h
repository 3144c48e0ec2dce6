#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
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
    /// Lookup threads of this object alive at once, counting those that
    /// outlived their limit on a dead name server.
    static constexpr int kMostLookups = 64;

    /// One entry read: an address to send to, or a name still to look up.
    struct Entry {
        QString text;                     // as the person wrote it, trimmed
        std::optional<in_addr_t> address; // network byte order; empty for a name
    };
    /// The entry `text` stands for, or an error that says what is wrong with it.
    static std::optional<Entry> Parse(const QString& text, QString* error);

    /// A name's address (network byte order), or nothing; runs on a lookup thread.
    using LookUp = std::function<std::optional<in_addr_t>(const std::string& name)>;

    /// `applied` runs after a new set of addresses went to BroadcastFanout
    /// (the caller greets them); `lookups` runs the name lookups, each with
    /// `lookUp` (the resolver by default).
    ExtraHosts(BoundedLookup& lookups, std::function<void()> applied, QObject* parent = nullptr,
               LookUp lookUp = {});

    /// Reads the settings and starts the lookups.
    void Load();
    QStringList Entries() const;
    /// Checks every line; on the first bad one returns its error (naming the
    /// line) and changes nothing. Otherwise saves, applies and returns empty.
    std::optional<QString> SetEntries(const QStringList& lines);
    /// Each entry with what it gives now: "10.20.0.255", "192.168.7.3",
    /// "not found", "looking up", or why the address a name gave is not used.
    std::vector<std::pair<QString, QString>> Status() const;

private:
    // One entry with what it gives now.
    struct Item {
        Entry entry;
        QString problem;                // why a line read from the settings is skipped
        std::optional<in_addr_t> found; // a name's last usable answer
        QString unusable;               // why a name's last answer is not used
        bool answered = false;          // a name was looked up at least once
    };

    void Take(const QStringList& lines);
    void StartRound();
    void StartLookups();
    void Answered(int round, int item, std::optional<in_addr_t> address);
    /// What Status shows for `item`.
    static QString Now(const Item& item);
    void Apply();

    BoundedLookup& lookups;
    LookUp lookUp;
    std::function<void()> applied;
    QStringList entries; // as saved: trimmed, blank lines dropped, comments kept
    std::vector<Item> items;
    std::vector<in_addr_t> appliedAddresses; // sorted: the set BroadcastFanout has from us
    int round = 0;                           // answers of an older round are dropped
    std::vector<int> toLookUp;               // items of this round not started yet
    int unanswered = 0;                      // items of this round still without an answer
    std::shared_ptr<std::atomic<int>> running = std::make_shared<std::atomic<int>>(0);
    QTimer refresh;    // looks the names up again
    QTimer startLater; // starts lookups held back by kMostLookups
};

} // namespace kestrane
