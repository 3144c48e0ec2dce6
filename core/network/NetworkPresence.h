#pragma once

#include "port/NetworkInterfaces.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QString;
class QWidget;

namespace kestrane {

class BoundedLookup;
class ExtraHosts;
class HeardHosts;
class NetworkView;
class NetworkWatch;

/// The main window's side of the networks: greets each network that comes up,
/// forgets the hosts of one that goes, keeps the extra hosts, records who was
/// heard, and opens the Network view. UI thread only.
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

    NetworkPresence(Hooks hooks, BoundedLookup& lookups, QWidget* window);
    ~NetworkPresence();
    NetworkPresence(const NetworkPresence&) = delete;
    NetworkPresence& operator=(const NetworkPresence&) = delete;

    /// Chooses the interfaces and loads the extra hosts: before the first hello.
    void Prepare();
    /// Starts greeting networks that come up: after the first hello.
    void Greeted();
    /// A datagram came from `name` at `address`.
    void Heard(const std::string& name, const std::string& address);
    void ShowView();

private:
    /// Forgets the hosts heard on the network `gone` that none of `still` reaches.
    void Gone(const NetworkInterface& gone, const std::vector<NetworkInterface>& still);

    Hooks hooks;
    QWidget* window;
    std::chrono::system_clock::time_point started;
    bool greeted = false;
    std::unique_ptr<HeardHosts> heard;
    std::unique_ptr<ExtraHosts> extraHosts;
    std::unique_ptr<NetworkWatch> watch;
    NetworkView* view = nullptr; // owned by window (Qt parent), made at first use
};

} // namespace kestrane
