#pragma once

#include "chat/SecureChannel.h"
#include "core/delivery/LineTrust.h"
#include "core/delivery/SecureRoute.h"
#include "core/identity/KnownKeys.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace kestrane {

class ChatSender;
class IncomingHandler;
class SecureLink;
class SecurePeers;

/// The keys of the hosts this copy talks to, and the sessions they hold: makes
/// the DELIVERY/2 engine once the own name is known, decides on each session
/// that comes up by the key it proved (trust on first use, by name), and keeps
/// the known keys in their file, written soon after each decision and when
/// the copy ends. A key that differs from the one known for its name is told
/// once, loudly; a blocked key's sessions end. As the route of notices, it
/// seals them on the session that speaks for their host's name. UI thread only.
class PeerKeys : public QObject, public SecureRoute {
public:
    struct Hooks {
        std::function<void(const QString& note)> note;
        /// The keys known for `name` changed (a new key came, or a decision).
        std::function<void(const std::string& name)> changed;
        /// A session at `address` now speaks for `name`. May be empty.
        std::function<void(const std::string& name, const std::string& address)> trusted;
        /// A session at `address` proved a key for `name` the person has not
        /// decided on: enough to list a missing name, nothing more. May be empty.
        std::function<void(const std::string& name, const std::string& address)> undecided;
    };
    /// Who a session speaks for, and how far what it brings is to be believed.
    struct Speaker {
        std::string name;
        std::string address; // the session's, which only a new session moves
        LineTrust trust = LineTrust::Private;
    };
    /// Longest wait between a decision and its write.
    static constexpr int kSaveDelayMs = 1000;

    /// Keys are kept in `folder` (in memory only when it is empty); `identity`
    /// may be null (no key could be made): then nothing secure ever starts.
    PeerKeys(QString folder, const KeyPair* identity, Hooks hooks);
    ~PeerKeys() override;

    /// The own name is known: the engine starts, and `handler` hands it what
    /// arrives. `sender` must outlive this object's link (Stop).
    void Start(const std::string& ownName, ChatSender& sender, IncomingHandler& handler);
    /// The handler that takes datagrams now (benchmarks replace it).
    void HandOver(IncomingHandler& handler);
    /// Whether the engine runs (announce DELIVERY/2 then).
    bool Running() const { return link != nullptr; }

    void Announced(const std::string& name, const std::string& address);
    void Heartbeat();
    /// `name` said hello from `address`: it may have started again.
    void HelloHeard(const std::string& name, const std::string& address);
    /// `name`'s session brought something from `address`, not its own: the
    /// host may have moved there, so a handshake starts with it (as after a
    /// hello, at most every few seconds a name). Only a session its key
    /// proves moves the host.
    void HeardElsewhere(const std::string& name, const std::string& address);
    void SessionUp(const SecureChannel::SessionUp& up);
    /// The name the session `index` proved, if it is one of the name's
    /// sessions: trusted (Private or Verified) or waiting for the person (NewKey).
    std::optional<Speaker> SpeakerOf(SessionIndex index) const;
    /// The session that speaks for `name` now, with the key it proved.
    std::optional<SecureChannel::SessionUp> TrustedSession(const std::string& name) const;
    /// Tells every host with a trusted session that this copy leaves.
    void SayGoodbye();

    bool Keyed(const std::string& name) const override;
    std::optional<std::string> SessionAddress(const std::string& name) const override;
    bool Seal(const std::string& name, const std::string& address, std::string_view inner) override;
    void Unanswered(const std::string& name) override;

    /// The person's decisions on `name`'s `key`.
    void Accept(const std::string& name, const PublicKey& key);
    void Block(const std::string& name, const PublicKey& key);
    bool Verify(const std::string& name, const PublicKey& key);
    /// Forgets `key` of `name`: a blocked key is blocked no more; after a
    /// trusted one the next key heard for the name is trusted as a first one.
    void Forget(const std::string& name, const PublicKey& key);

    const KnownKeys& Keys() const { return keys; }
    /// Whether a key other than `name`'s trusted one waits for the person.
    bool Undecided(const std::string& name) const;
    /// What is known of `name`'s key, in words; empty when no key is known.
    QString Describe(const std::string& name) const;
    /// Writes what changed now.
    void Flush();

private:
    void SaveSoon();
    void Trust(const SecureChannel::SessionUp& up);

    QString folder;
    const KeyPair* identity;
    Hooks hooks;
    KnownKeys keys;
    QTimer saveTimer;
    bool unsaved = false;
    std::set<std::string> blockedTold; // names whose blocked key was noted this run
    std::set<std::string> changeTold;  // by PeerNameKey: a changed key noted, undecided
    /// The last session of each name's new, undecided key (by PeerNameKey):
    /// it speaks for the name once the person accepts that key.
    std::map<std::string, SecureChannel::SessionUp> undecided;
    std::unique_ptr<SecureLink> link;
    std::unique_ptr<SecurePeers> peers;
};

} // namespace kestrane
