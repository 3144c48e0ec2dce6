#include "ui/trust/TrustPrompts.h"

#include "core/NetworkText.h"
#include "core/identity/PeerKeys.h"
#include "ui/WindowStretch.h"
#include "ui/trust/KeyChangeBar.h"
#include "ui/trust/KeyComparison.h"

#include <QDateTime>
#include <QMenu>

namespace kestrane {

TrustPrompts::TrustPrompts(QWidget& mainWindow, PeerKeys* peerKeys, const KeyPair* ownKeys)
    : QObject(&mainWindow), window(mainWindow), keys(peerKeys), own(ownKeys) {}

void TrustPrompts::Attach(WindowStretch& windowStretch) {
    if (keys == nullptr || own == nullptr || bar) {
        return;
    }
    stretch = &windowStretch;
    bar = new KeyChangeBar(&window);
    // The bar names the host as shown; its wire name is the one kept here.
    QObject::connect(bar, &KeyChangeBar::CompareRequested, this, [this] {
        int others = 0;
        if (const auto waiting = Waiting(&others); waiting && waiting->first == shownHost) {
            Compare(waiting->first, waiting->second, true);
        }
    });
    QObject::connect(bar, &KeyChangeBar::AcceptRequested, this, [this] { Decide(true); });
    QObject::connect(bar, &KeyChangeBar::BlockRequested, this, [this] { Decide(false); });
    stretch->SetBanner(bar);
    KeysChanged();
}

std::optional<std::pair<std::string, PublicKey>> TrustPrompts::Waiting(int* others) const {
    std::optional<std::pair<std::string, PublicKey>> first;
    *others = 0;
    for (const auto& [byName, entry] : keys->Keys().Entries()) {
        for (const KnownKeys::Key& key : entry.keys) {
            if (key.state != KnownKeys::State::New) {
                continue;
            }
            if (first) {
                ++*others;
            } else {
                first.emplace(entry.name, key.key);
            }
        }
    }
    return first;
}

void TrustPrompts::KeysChanged() {
    if (!bar) {
        return;
    }
    int others = 0;
    const auto waiting = Waiting(&others);
    shownHost = waiting ? waiting->first : std::string();
    if (!waiting) {
        bar->Clear();
    } else {
        const std::optional<KnownKeys::Key> trusted = keys->Keys().TrustedKey(waiting->first);
        const std::int64_t since =
            trusted ? trusted->firstHeard : QDateTime::currentSecsSinceEpoch();
        bar->Show({.name = NetworkName(waiting->first),
                   .since = QDateTime::fromSecsSinceEpoch(since).date(),
                   .verified = trusted && trusted->state == KnownKeys::State::Verified,
                   .more = others});
    }
    stretch->Relayout();
}

void TrustPrompts::AddItems(QMenu& menu, const std::string& host) {
    if (keys == nullptr || own == nullptr || host.empty() || !keys->Keys().TrustedKey(host)) {
        return;
    }
    menu.addSeparator();
    menu.addAction(QStringLiteral("&Verify %1...").arg(NetworkName(host).replace('&', "&&")), this,
                   [this, host] { Verify(host); });
}

void TrustPrompts::Verify(const std::string& host) {
    if (keys == nullptr || own == nullptr) {
        return;
    }
    if (const std::optional<KnownKeys::Key> trusted = keys->Keys().TrustedKey(host)) {
        Compare(host, trusted->key, false);
    }
}

void TrustPrompts::Compare(const std::string& host, const PublicKey& key, bool newKey) {
    KeyComparison::Open(window, *keys, *own, host, key, newKey);
}

void TrustPrompts::Decide(bool accept) {
    int others = 0;
    const auto waiting = Waiting(&others);
    if (!waiting || waiting->first != shownHost) {
        return;
    }
    if (accept) {
        keys->Accept(waiting->first, waiting->second);
    } else {
        keys->Block(waiting->first, waiting->second);
    }
}

} // namespace kestrane
