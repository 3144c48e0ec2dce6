#pragma once

#include "security/KeyPair.h"

#include <QObject>
#include <QPointer>
#include <optional>
#include <string>

class QMenu;
class QWidget;

namespace kestrane {

class KeyChangeBar;
class PeerKeys;
class WindowStretch;

/// What the person sees and decides about other hosts' keys in the main
/// window: the key-change bar above the log while a changed key waits, and
/// "Verify <host>..." in the window's menus, each leading to the comparison of
/// codes. Decisions go to PeerKeys; nothing is decided here. Does not own the
/// keys or the window. UI thread only.
class TrustPrompts : public QObject {
public:
    /// `keys` may be null (no identity): then nothing is offered.
    TrustPrompts(QWidget& window, PeerKeys* keys, const KeyPair* own);

    /// The window's controls exist: the bar goes above the log `stretch` grows.
    void Attach(WindowStretch& stretch);
    /// The keys known for a host changed: the bar follows.
    void KeysChanged();
    /// Adds "Verify <host>..." for `host` (wire bytes) when a key is known for it.
    void AddItems(QMenu& menu, const std::string& host);
    /// Opens the comparison of codes with `host`'s trusted key.
    void Verify(const std::string& host);

private:
    /// The first host whose changed key waits, and that key.
    std::optional<std::pair<std::string, PublicKey>> Waiting(int* others) const;
    void Compare(const std::string& host, const PublicKey& key, bool newKey);
    void Decide(bool accept);

    QWidget& window;
    PeerKeys* keys;
    const KeyPair* own;
    QPointer<KeyChangeBar> bar;
    WindowStretch* stretch = nullptr;
    std::string shownHost; // wire name of the host the bar speaks of
};

} // namespace kestrane
