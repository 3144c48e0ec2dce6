#pragma once

#include "port/AddressWatch.h"
#include "port/NetworkInterfaces.h"

#include <QDBusConnection>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace kestrane {

/// Follows the networks this host is on and keeps BroadcastFanout's interfaces
/// current: the kernel's address and link news (netlink), a slow look now and
/// then in case news were missed, and logind's word that the machine woke up
/// (PrepareForSleep on the system bus). News come in bursts (an address, its
/// route, the link), so they are gathered for kSettle before anything is done.
/// Lives on the UI thread; the hooks run there.
class NetworkWatch : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kSettle{300};
    static constexpr std::chrono::seconds kLookAgain{60};

    struct Hooks {
        /// An address that broadcasts may leave through has appeared, or was given again.
        std::function<void(const NetworkInterface&)> appeared;
        /// An address that broadcasts left through is gone; `still` are the ones left.
        std::function<void(const NetworkInterface& gone,
                           const std::vector<NetworkInterface>& still)>
            gone;
        /// The machine woke from sleep.
        std::function<void()> resumed;
    };

    /// `systemBus` is where logind speaks; a test hands in a bus of its own.
    NetworkWatch(Hooks hooks, QDBusConnection systemBus, QObject* parent = nullptr);
    ~NetworkWatch() override;

    /// Takes the first look (no hooks run for it) and starts following.
    void Start();
    /// The addresses broadcasts leave through now.
    const std::vector<NetworkInterface>& Current() const { return current; }

private slots:
    void OnPrepareForSleep(bool sleeping);

private:
    void OnNews();
    void Look();

    Hooks hooks;
    QDBusConnection systemBus;
    AddressWatch news;
    std::unique_ptr<QSocketNotifier> newsReady;
    QTimer settle;
    QTimer lookAgain;
    std::vector<unsigned> renewed; // interfaces given an address since the last look
    std::vector<NetworkInterface> current;
};

} // namespace kestrane
