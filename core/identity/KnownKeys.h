#pragma once

#include "security/KeyPair.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrane {

/// The keys heard under each host name, for trust on first use: the first key
/// heard for a name is trusted; a different one later is new, undecided until
/// the person accepts it (it then replaces the trusted one, unverified) or
/// blocks it. Comparing codes makes a trusted key verified. Names match as in
/// the roster (letter case aside). A hostile LAN can bring any number of
/// names and keys, so per name at most one trusted or verified key, kMostNew
/// new and kMostBlocked blocked ones are kept, and at most kMostNames names:
/// beyond that the name heard longest ago that holds no verified or blocked
/// key goes. A value class; the owner keeps it in a file (KnownKeysFile).
class KnownKeys {
public:
    static constexpr std::size_t kMostNames = 4096;
    static constexpr std::size_t kMostNew = 4;
    static constexpr std::size_t kMostBlocked = 16;

    enum class State { Trusted, Verified, New, Blocked };
    enum class Heard { First, Same, Changed, Blocked };

    struct Key {
        State state = State::Trusted;
        PublicKey key{};
        std::int64_t firstHeard = 0; // Unix seconds
        std::int64_t lastHeard = 0;
    };
    /// A name's entry: its name as first heard, and its keys.
    struct Entry {
        std::string name;
        std::vector<Key> keys;
    };

    /// `key` spoke under `name` at `now` (Unix seconds): what that means, and
    /// it is noted (a first key trusted, another one new).
    Heard Hear(const std::string& name, const PublicKey& key, std::int64_t now);
    /// The person accepted `key` for `name`: it becomes the trusted key, the
    /// one before is forgotten.
    void Accept(const std::string& name, const PublicKey& key);
    /// The person blocked `key` for `name`; the trusted key stays as it was.
    void Block(const std::string& name, const PublicKey& key);
    /// The person compared codes: the trusted `key` of `name` is verified.
    /// False when it is not the name's trusted key.
    bool Verify(const std::string& name, const PublicKey& key);
    /// Forgets `key` of `name` whatever its state (unblocking it, or letting
    /// the next key heard for the name be a first one); a name left with no
    /// key is forgotten.
    void Forget(const std::string& name, const PublicKey& key);
    /// The trusted or verified key of `name`, if any.
    std::optional<Key> TrustedKey(const std::string& name) const;
    std::optional<State> StateOf(const std::string& name, const PublicKey& key) const;

    const std::map<std::string, Entry>& Entries() const { return entries; }
    /// Puts back an entry read from a file (caps applied).
    void Restore(Entry entry);

private:
    Key* Find(Entry& entry, const PublicKey& key);
    void Add(Entry& entry, Key key);
    void Decide(const std::string& name, const PublicKey& key, State state);
    void KeepWithinCap(const std::string& spared);

    std::map<std::string, Entry> entries; // by PeerNameKey
};

} // namespace kestrane
