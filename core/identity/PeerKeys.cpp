#include "core/identity/PeerKeys.h"

#include "chat/DeliveryNotice.h"
#include "chat/IncomingHandler.h"
#include "chat/PeerName.h"
#include "chat/SecureLink.h"
#include "core/NetworkText.h"
#include "core/delivery/SecurePeers.h"
#include "core/identity/KnownKeysFile.h"

#include <QDateTime>
#include <algorithm>
#include <utility>

namespace kestrane {
namespace {

std::int64_t Now() {
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

PeerKeys::PeerKeys(QString keysFolder, const KeyPair* ownIdentity, Hooks peerKeyHooks)
    : folder(std::move(keysFolder)), identity(ownIdentity), hooks(std::move(peerKeyHooks)) {
    KnownKeysFile::Loaded loaded = KnownKeysFile::Load(folder);
    keys = std::move(loaded.keys);
    if (!loaded.note.isEmpty()) {
        hooks.note(loaded.note);
    }
    saveTimer.setSingleShot(true);
    saveTimer.setInterval(kSaveDelayMs);
    saveTimer.callOnTimeout([this] { Flush(); });
}

PeerKeys::~PeerKeys() {
    Flush();
}

void PeerKeys::Start(const std::string& ownName, ChatSender& sender, IncomingHandler& handler) {
    if (identity == nullptr || link) {
        return;
    }
    link = std::make_unique<SecureLink>(*identity, ownName, sender);
    peers = std::make_unique<SecurePeers>(*link, [this](const std::string& address) {
        hooks.note(
            QStringLiteral("A computer at %1 began encrypted conversations with this one and "
                           "did not finish them. Once may be a poor link; if it goes on, "
                           "someone on the network may be testing this computer.")
                .arg(QString::fromStdString(address)));
    });
    HandOver(handler);
}

void PeerKeys::HandOver(IncomingHandler& handler) {
    handler.SetSecureLink(link.get());
}

void PeerKeys::Announced(const std::string& name, const std::string& address) {
    if (peers) {
        peers->Announced(name, address);
    }
}

void PeerKeys::HelloHeard(const std::string& name, const std::string& address) {
    if (peers) {
        peers->Rejoined(name, address);
    }
}

void PeerKeys::HeardElsewhere(const std::string& name, const std::string& address) {
    if (peers) {
        peers->Rejoined(name, address);
    }
}

void PeerKeys::Unanswered(const std::string& name) {
    if (const std::optional<std::string> address = SessionAddress(name)) {
        peers->Rejoined(name, *address);
    }
}

void PeerKeys::Heartbeat() {
    if (peers) {
        peers->Heartbeat();
    }
}

void PeerKeys::SessionUp(const SecureChannel::SessionUp& up) {
    if (!peers) {
        return;
    }
    const bool unheard = !keys.StateOf(up.peerName, up.peerKey);
    const QString name = NetworkName(up.peerName);
    switch (keys.Hear(up.peerName, up.peerKey, Now())) {
    case KnownKeys::Heard::First:
        Trust(up);
        SaveSoon();
        hooks.changed(up.peerName);
        break;
    case KnownKeys::Heard::Same:
        Trust(up);
        unsaved = true; // when it was last heard: written with the next decision
        break;
    case KnownKeys::Heard::Changed:
        // The session stays up but speaks for nobody until the person decides.
        if (undecided.size() < KnownKeys::kMostNames ||
            undecided.contains(PeerNameKey(up.peerName))) {
            undecided.insert_or_assign(PeerNameKey(up.peerName), up);
        }
        if (hooks.undecided) {
            hooks.undecided(up.peerName, up.address);
        }
        if (!unheard) {
            break;
        }
        // Once a name until the person decides: a host that makes key after key
        // under one name only adds to the bar's count.
        if (changeTold.size() < KnownKeys::kMostNames &&
            changeTold.insert(PeerNameKey(up.peerName)).second) {
            hooks.note(QStringLiteral("%1 is using a different key from the one Kestrane knew "
                                      "it by. This is expected if %1 was reinstalled or its key "
                                      "file was lost; it can also mean another computer at %2 "
                                      "is pretending to be %1. Compare codes with %1 before "
                                      "you accept the new key.")
                           .arg(name, QString::fromStdString(up.address)));
        }
        SaveSoon();
        hooks.changed(up.peerName);
        break;
    case KnownKeys::Heard::Blocked:
        peers->Refuse(up);
        if (blockedTold.size() < KnownKeys::kMostNames && blockedTold.insert(up.peerName).second) {
            hooks.note(QStringLiteral("A computer at %1 used a key you blocked for %2: "
                                      "nothing from it is taken as %2's.")
                           .arg(QString::fromStdString(up.address), name));
        }
        break;
    }
}

void PeerKeys::Trust(const SecureChannel::SessionUp& up) {
    peers->Trust(up);
    if (hooks.trusted) {
        hooks.trusted(up.peerName, up.address);
    }
}

std::optional<PeerKeys::Speaker> PeerKeys::SpeakerOf(SessionIndex index) const {
    if (!peers) {
        return std::nullopt;
    }
    if (const std::optional<SecureChannel::SessionUp> up = peers->Speaker(index)) {
        const bool verified = keys.StateOf(up->peerName, up->peerKey) == KnownKeys::State::Verified;
        return Speaker{up->peerName, up->address,
                       verified ? LineTrust::Verified : LineTrust::Private};
    }
    for (const auto& [name, up] : undecided) {
        if (up.index == index) {
            return Speaker{up.peerName, up.address, LineTrust::NewKey};
        }
    }
    return std::nullopt;
}

void PeerKeys::SayGoodbye() {
    if (peers) {
        const std::string bye = DeliveryNotice::Bye().ComposeInner();
        link->Broadcast(peers->LiveSessions(),
                        std::span(reinterpret_cast<const std::uint8_t*>(bye.data()), bye.size()));
    }
}

bool PeerKeys::Keyed(const std::string& name) const {
    if (!peers) {
        return false; // no engine: nothing could reach the host but the clear
    }
    const auto entry = keys.Entries().find(PeerNameKey(name));
    return entry != keys.Entries().end() &&
           std::ranges::any_of(entry->second.keys, [](const KnownKeys::Key& key) {
               return key.state != KnownKeys::State::Blocked;
           });
}

std::optional<SecureChannel::SessionUp> PeerKeys::TrustedSession(const std::string& name) const {
    return peers ? peers->SessionOf(name) : std::nullopt;
}

std::optional<std::string> PeerKeys::SessionAddress(const std::string& name) const {
    if (!peers) {
        return std::nullopt;
    }
    const std::optional<SecureChannel::SessionUp> session = peers->SessionOf(name);
    return session ? std::optional(session->address) : std::nullopt;
}

bool PeerKeys::Seal(const std::string& name, const std::string& address, std::string_view inner) {
    if (!peers) {
        return false;
    }
    if (const std::optional<SecureChannel::SessionUp> session = peers->SessionOf(name)) {
        return link->Send(
            session->index,
            std::span(reinterpret_cast<const std::uint8_t*>(inner.data()), inner.size()));
    }
    if (!address.empty()) {
        peers->Reach(address);
    }
    return false;
}

void PeerKeys::Accept(const std::string& name, const PublicKey& key) {
    keys.Accept(name, key);
    changeTold.erase(PeerNameKey(name));
    if (const auto waiting = undecided.find(PeerNameKey(name)); waiting != undecided.end()) {
        if (peers && waiting->second.peerKey == key) {
            Trust(waiting->second);
        }
        undecided.erase(waiting);
    }
    SaveSoon();
    hooks.changed(name);
}

void PeerKeys::Block(const std::string& name, const PublicKey& key) {
    keys.Block(name, key);
    changeTold.erase(PeerNameKey(name));
    if (const auto waiting = undecided.find(PeerNameKey(name));
        waiting != undecided.end() && waiting->second.peerKey == key) {
        if (peers) {
            peers->Refuse(waiting->second);
        }
        undecided.erase(waiting);
    }
    SaveSoon();
    hooks.changed(name);
}

bool PeerKeys::Verify(const std::string& name, const PublicKey& key) {
    if (!keys.Verify(name, key)) {
        return false;
    }
    SaveSoon();
    hooks.changed(name);
    return true;
}

bool PeerKeys::Undecided(const std::string& name) const {
    const auto entry = keys.Entries().find(PeerNameKey(name));
    return entry != keys.Entries().end() &&
           std::ranges::any_of(entry->second.keys, [](const KnownKeys::Key& key) {
               return key.state == KnownKeys::State::New;
           });
}

QString PeerKeys::Describe(const std::string& name) const {
    const auto entry = keys.Entries().find(PeerNameKey(name));
    if (entry == keys.Entries().end()) {
        return {};
    }
    if (Undecided(name)) {
        return QStringLiteral("Uses a different key than before: decide in the bar above the log");
    }
    const std::optional<KnownKeys::Key> trusted = keys.TrustedKey(name);
    if (!trusted) {
        return {};
    }
    if (trusted->state == KnownKeys::State::Verified) {
        return QStringLiteral("Key verified by comparing codes");
    }
    return QStringLiteral("Key known since %1, not verified")
        .arg(QDateTime::fromSecsSinceEpoch(trusted->firstHeard).date().toString(Qt::ISODate));
}

void PeerKeys::Forget(const std::string& name, const PublicKey& key) {
    keys.Forget(name, key);
    changeTold.erase(PeerNameKey(name));
    if (peers) {
        peers->Forget(name);
    }
    SaveSoon();
    hooks.changed(name);
}

void PeerKeys::SaveSoon() {
    unsaved = true;
    if (!saveTimer.isActive()) {
        saveTimer.start();
    }
}

void PeerKeys::Flush() {
    saveTimer.stop();
    if (!unsaved || folder.isEmpty()) {
        return;
    }
    unsaved = false;
    if (const QString error = KnownKeysFile::Save(folder, keys); !error.isEmpty()) {
        hooks.note(QStringLiteral("The keys of other computers could not be kept: %1").arg(error));
    }
}

} // namespace kestrane
