#pragma once

#include "port/NetworkInterfaces.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QString;
class QObject;

namespace kestrane {

class BoundedLookup;
class ExtraHosts;
class HeardHosts;
class NetworkWatch;

/// The running copy's side of the networks: greets each network that comes
/// up, forgets the hosts of one that goes, keeps the extra hosts, and records
/// who was heard, for the Network view to show. UI thread only.
class NetworkPresence {
public:
    struct Hooks {
        /// Says hello to everybody on one interface's network.
        std::function<void(unsigned interfaceIndex)> helloOn;
        /// Says hello to everybody on every network and to the extra hosts;
        /// shows no box when it fails.
        std::function<void()> hello;
        /// Unlists the roster's hosts whose last address is `lost`; returns how many.
        std::function<int(const std::function<bool(const std::string& address)>& lost)> forgetHosts;
        /// Writes a note in the log.
        std::function<void(const QString&)> note;
    };

    NetworkPresence(Hooks hooks, BoundedLookup& lookups);
    ~NetworkPresence();
    NetworkPresence(const NetworkPresence&) = delete;
    NetworkPresence& operator=(const NetworkPresence&) = delete;

    /// Chooses the interfaces and loads the extra hosts: before the first hello.
    void Prepare();
    /// Starts greeting networks that come up: after the first hello.
    void Greeted();
    /// A datagram came from `name` at `address`.
    void Heard(const std::string& name, const std::string& address);
    HeardHosts& HostsHeard() { return *heard; }
    ExtraHosts& Extra() { return *extraHosts; }
    /// When the copy started, which the view counts hearings from.
    std::chrono::system_clock::time_point Started() const { return started; }

private:
    /// Forgets the hosts heard on the network `gone` that none of `still` reaches.
    void Gone(const NetworkInterface& gone, const std::vector<NetworkInterface>& still);

    Hooks hooks;
    std::chrono::system_clock::time_point started;
    bool greeted = false;
    std::unique_ptr<HeardHosts> heard;
    std::unique_ptr<ExtraHosts> extraHosts;
    std::unique_ptr<NetworkWatch> watch;
};

} // namespace kestrane
