#pragma once

#include <QString>
#include <sys/types.h>

namespace kestrane::test {

/// A session bus daemon of the test's own, so that tests never touch the
/// bus of whoever runs them. The daemon ends with the object. Started with
/// posix_spawn: ThreadSanitizer stops a process that forks once Qt's D-Bus
/// thread runs.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    /// Empty when the daemon could not be started.
    const QString& Address() const { return address; }
    /// Ends the daemon, as when the desktop session goes away.
    void Stop();

private:
    pid_t daemon = -1;
    QString address;
};

} // namespace kestrane::test
