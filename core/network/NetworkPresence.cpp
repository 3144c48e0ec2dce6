#include "core/network/NetworkPresence.h"

#include "core/network/ExtraHosts.h"
#include "core/network/HeardHosts.h"
#include "core/network/NetworkWatch.h"
#include "port/HostLookup.h"

#include <QDBusConnection>
#include <QString>
#include <algorithm>
#include <arpa/inet.h>

namespace kestrane {

NetworkPresence::NetworkPresence(Hooks presenceHooks, BoundedLookup& lookups)
    : hooks(std::move(presenceHooks)), started(std::chrono::system_clock::now()),
      heard(std::make_unique<HeardHosts>()),
      extraHosts(std::make_unique<ExtraHosts>(lookups, [this] {
          if (greeted && hooks.hello) {
              hooks.hello();
          }
      })) {
    watch = std::make_unique<NetworkWatch>(
        NetworkWatch::Hooks{
            .appeared =
                [this](const NetworkInterface& appeared) {
                    if (greeted && hooks.helloOn) {
                        hooks.helloOn(appeared.index);
                    }
                },
            .gone = [this](const NetworkInterface& gone,
                           const std::vector<NetworkInterface>& still) { Gone(gone, still); },
            .resumed =
                [this] {
                    if (greeted && hooks.hello) {
                        hooks.hello();
                    }
                }},
        QDBusConnection::systemBus());
}

NetworkPresence::~NetworkPresence() = default;

void NetworkPresence::Prepare() {
    watch->Start();
    extraHosts->Load();
}

void NetworkPresence::Greeted() {
    greeted = true;
}

void NetworkPresence::Gone(const NetworkInterface& gone,
                           const std::vector<NetworkInterface>& still) {
    if (!hooks.forgetHosts) {
        return;
    }
    const int forgotten = hooks.forgetHosts([&](const std::string& address) {
        in_addr parsed{};
        return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && gone.Covers(parsed.s_addr) &&
               std::none_of(still.begin(), still.end(),
                            [&](const NetworkInterface& i) { return i.Covers(parsed.s_addr); });
    });
    if (forgotten > 0 && hooks.note) {
        hooks.note(QStringLiteral("%1 left the network %2: the hosts heard there (%3) were taken "
                                  "off the list")
                       .arg(QString::fromStdString(gone.name),
                            QString::fromStdString(DottedAddress(gone.Network())))
                       .arg(forgotten));
    }
}

void NetworkPresence::Heard(const std::string& name, const std::string& address) {
    heard->Note(name, address);
}

} // namespace kestrane
