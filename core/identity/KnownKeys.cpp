#include "core/identity/KnownKeys.h"

#include "chat/PeerName.h"

#include <algorithm>

namespace kestrane {
namespace {

using State = KnownKeys::State;

bool Trusting(const KnownKeys::Key& key) {
    return key.state == State::Trusted || key.state == State::Verified;
}

std::int64_t LastHeard(const KnownKeys::Entry& entry) {
    std::int64_t last = 0;
    for (const KnownKeys::Key& key : entry.keys) {
        last = std::max(last, key.lastHeard);
    }
    return last;
}

} // namespace

KnownKeys::Key* KnownKeys::Find(Entry& entry, const PublicKey& key) {
    const auto found = std::ranges::find(entry.keys, key, &Key::key);
    return found == entry.keys.end() ? nullptr : &*found;
}

KnownKeys::Heard KnownKeys::Hear(const std::string& name, const PublicKey& key, std::int64_t now) {
    const std::string byName = PeerNameKey(name);
    auto [place, made] = entries.try_emplace(byName, Entry{name, {}});
    Entry& entry = place->second;
    if (Key* known = Find(entry, key)) {
        known->lastHeard = now;
        return known->state == State::Blocked ? Heard::Blocked
               : Trusting(*known)             ? Heard::Same
                                              : Heard::Changed;
    }
    const bool first = std::ranges::none_of(entry.keys, Trusting);
    Add(entry, Key{first ? State::Trusted : State::New, key, now, now});
    if (made) {
        KeepWithinCap(byName);
    }
    return first ? Heard::First : Heard::Changed;
}

void KnownKeys::Add(Entry& entry, Key key) {
    // The oldest of a kind goes first: a flood of keys under one name stays bounded.
    const std::size_t most = key.state == State::New       ? kMostNew
                             : key.state == State::Blocked ? kMostBlocked
                                                           : 1;
    std::vector<Key>& keys = entry.keys;
    while (static_cast<std::size_t>(std::ranges::count_if(keys, [&](const Key& kept) {
               return Trusting(key) ? Trusting(kept) : kept.state == key.state;
           })) >= most) {
        keys.erase(std::ranges::find_if(keys, [&](const Key& kept) {
            return Trusting(key) ? Trusting(kept) : kept.state == key.state;
        }));
    }
    keys.push_back(key);
}

void KnownKeys::KeepWithinCap(const std::string& spared) {
    while (entries.size() > kMostNames) {
        auto oldest = entries.end();
        for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
            const bool keep =
                entry->first == spared ||
                std::ranges::any_of(entry->second.keys, [](const Key& key) {
                    return key.state == State::Verified || key.state == State::Blocked;
                });
            if (!keep &&
                (oldest == entries.end() || LastHeard(entry->second) < LastHeard(oldest->second))) {
                oldest = entry;
            }
        }
        if (oldest == entries.end()) {
            return; // every name is verified or blocked: kept, the new one too
        }
        entries.erase(oldest);
    }
}

void KnownKeys::Accept(const std::string& name, const PublicKey& key) {
    Decide(name, key, State::Trusted);
}

void KnownKeys::Block(const std::string& name, const PublicKey& key) {
    Decide(name, key, State::Blocked);
}

void KnownKeys::Decide(const std::string& name, const PublicKey& key, State state) {
    const auto place = entries.find(PeerNameKey(name));
    if (place == entries.end()) {
        return;
    }
    Entry& entry = place->second;
    Key decided = Find(entry, key) != nullptr ? *Find(entry, key) : Key{{}, key, 0, 0};
    // An accepted key takes the trusted one's place; a blocked one leaves it be.
    std::erase_if(entry.keys, [&](const Key& kept) {
        return kept.key == key || (state == State::Trusted && Trusting(kept));
    });
    decided.state = state;
    Add(entry, decided);
}

void KnownKeys::Forget(const std::string& name, const PublicKey& key) {
    const auto place = entries.find(PeerNameKey(name));
    if (place == entries.end()) {
        return;
    }
    std::erase_if(place->second.keys, [&](const Key& kept) { return kept.key == key; });
    if (place->second.keys.empty()) {
        entries.erase(place);
    }
}

bool KnownKeys::Verify(const std::string& name, const PublicKey& key) {
    const auto place = entries.find(PeerNameKey(name));
    Key* known = place == entries.end() ? nullptr : Find(place->second, key);
    if (known == nullptr || !Trusting(*known)) {
        return false;
    }
    known->state = State::Verified;
    return true;
}

std::optional<KnownKeys::Key> KnownKeys::TrustedKey(const std::string& name) const {
    const auto place = entries.find(PeerNameKey(name));
    if (place == entries.end()) {
        return std::nullopt;
    }
    const auto found = std::ranges::find_if(place->second.keys, Trusting);
    return found == place->second.keys.end() ? std::nullopt : std::optional(*found);
}

std::optional<KnownKeys::State> KnownKeys::StateOf(const std::string& name,
                                                   const PublicKey& key) const {
    const auto place = entries.find(PeerNameKey(name));
    if (place == entries.end()) {
        return std::nullopt;
    }
    const auto found = std::ranges::find(place->second.keys, key, &Key::key);
    return found == place->second.keys.end() ? std::nullopt : std::optional(found->state);
}

void KnownKeys::Restore(Entry entry) {
    const std::string byName = PeerNameKey(entry.name);
    Entry& kept = entries.try_emplace(byName, Entry{entry.name, {}}).first->second;
    for (const Key& key : entry.keys) {
        if (Find(kept, key.key) == nullptr) {
            Add(kept, key);
        }
    }
    KeepWithinCap(byName);
}

} // namespace kestrane
