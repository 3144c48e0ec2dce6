#include "core/network/NetworkWatch.h"

#include "port/BroadcastFanout.h"

#include <QSocketNotifier>
#include <algorithm>

namespace kestrane {

namespace {

const QString kLogin = QStringLiteral("org.freedesktop.login1");

} // namespace

NetworkWatch::NetworkWatch(Hooks watchHooks, QDBusConnection bus, QObject* parent)
    : QObject(parent), hooks(std::move(watchHooks)), systemBus(std::move(bus)) {
    settle.setSingleShot(true);
    settle.setInterval(kSettle);
    connect(&settle, &QTimer::timeout, this, [this] { Look(); });
    lookAgain.setInterval(kLookAgain);
    connect(&lookAgain, &QTimer::timeout, this, [this] { Look(); });
}

NetworkWatch::~NetworkWatch() {
    if (systemBus.isConnected()) {
        systemBus.disconnect(kLogin, QStringLiteral("/org/freedesktop/login1"),
                             QStringLiteral("org.freedesktop.login1.Manager"),
                             QStringLiteral("PrepareForSleep"), this,
                             SLOT(OnPrepareForSleep(bool)));
    }
}

void NetworkWatch::Start() {
    current = BroadcastInterfaces(ReadNetworkInterfaces());
    BroadcastFanout::Process().SetInterfaces(current);
    if (news.Descriptor() >= 0) {
        newsReady = std::make_unique<QSocketNotifier>(news.Descriptor(), QSocketNotifier::Read);
        connect(newsReady.get(), &QSocketNotifier::activated, this, [this] { OnNews(); });
    }
    lookAgain.start();
    // Without a system bus (a container, a test host) waking up goes unnoticed;
    // the address news still bring the networks back.
    if (systemBus.isConnected()) {
        systemBus.connect(kLogin, QStringLiteral("/org/freedesktop/login1"),
                          QStringLiteral("org.freedesktop.login1.Manager"),
                          QStringLiteral("PrepareForSleep"), this, SLOT(OnPrepareForSleep(bool)));
    }
}

void NetworkWatch::OnNews() {
    const AddressWatch::News heard = news.Drain();
    for (unsigned index : heard.addressOn) {
        if (std::find(renewed.begin(), renewed.end(), index) == renewed.end() &&
            renewed.size() < BroadcastFanout::kMostInterfaces) {
            renewed.push_back(index);
        }
    }
    if (heard.changed && !settle.isActive()) {
        settle.start();
    }
}

void NetworkWatch::Look() {
    std::vector<NetworkInterface> now = BroadcastInterfaces(ReadNetworkInterfaces());
    const InterfaceChanges changes = CompareInterfaces(current, now, renewed);
    renewed.clear();
    current = std::move(now);
    BroadcastFanout::Process().SetInterfaces(current);
    for (const NetworkInterface& gone : changes.gone) {
        if (hooks.gone) {
            hooks.gone(gone, current);
        }
    }
    for (const NetworkInterface& appeared : changes.appeared) {
        if (hooks.appeared) {
            hooks.appeared(appeared);
        }
    }
}

void NetworkWatch::OnPrepareForSleep(bool sleeping) {
    if (sleeping) {
        return;
    }
    Look();
    if (hooks.resumed) {
        hooks.resumed();
    }
}

} // namespace kestrane
