#pragma once

#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace kestrane {

/// A named lock that at most one process of a user holds at a time, within one
/// network namespace: an abstract Unix socket named "<name>.<uid>". Process
/// death frees it. The holder listens on the socket, so a copy that finds the
/// lock taken can call the holder (to bring its window forward). Owns the
/// socket that holds the name. UI thread only.
class SingleInstanceLock {
public:
    /// Tries to take the lock. AlreadyExists() tells whether another process held it.
    explicit SingleInstanceLock(const std::string& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    /// True when another process held the lock at construction.
    bool AlreadyExists() const;
    /// Frees the lock, if this object holds it. Called again, does nothing.
    void Close();

    /// Lets the holder know that another copy wanted to start. False when no
    /// holder took the call (none, or one that does not listen).
    bool CallHolder() const;
    /// The held socket, readable while a call waits; -1 when nothing is held.
    int Descriptor() const { return descriptor; }
    /// Takes one waiting call without blocking: true when one came from a
    /// process of this user (other users' calls are taken and ignored).
    bool TakeCall();

private:
    sockaddr_un address{};
    socklen_t addressLength = 0;
    int descriptor = -1;
    bool alreadyExists = false;
};

} // namespace kestrane
