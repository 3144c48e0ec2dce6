#pragma once

#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace kestrane {

/// A named lock that at most one process of a user holds at a time, within one
/// network namespace: an abstract Unix socket named "<name>.<uid>". Process
/// death frees it. The holder listens on the socket, so a copy that finds the
/// lock taken can call the holder (a call that ends without a byte brings its
/// window forward), and so can a process of the user that has more to say.
///
/// An abstract name has no owner: any local user can bind it first. A copy
/// that finds the name taken asks the kernel who listens there (SO_PEERCRED);
/// a process of another user does not count, and the lock moves on to
/// "<name>.<uid>.1", ".2", ... so that such a squatter cannot keep the user's
/// copy from starting. Owns the socket that holds the name. UI thread only.
class SingleInstanceLock {
public:
    /// Names tried before giving up; then the program runs without the lock.
    static constexpr int kMostNames = 8;

    /// Tries to take the lock. When a process of this user holds it, that
    /// process has been called (AlreadyExists() is true), and the call carried
    /// `callerSays` (a few bytes at most, sent without waiting) before it ended.
    explicit SingleInstanceLock(const std::string& name, const std::string& callerSays = {});
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    /// True when another process of this user held the lock at construction.
    bool AlreadyExists() const;
    /// Frees the lock, if this object holds it. Called again, does nothing.
    void Close();

    /// The held socket, readable while a call waits; -1 when nothing is held.
    int Descriptor() const { return descriptor; }
    /// Takes one waiting call of this user without blocking and returns its
    /// socket (non-blocking, close-on-exec; the caller owns it), or -1 when
    /// none waits. Other users' calls are taken and closed unanswered.
    int AcceptCall();

    /// Calls the process of this user that holds the lock `name`, without
    /// taking it: the names are walked as the constructor walks them, and the
    /// first one whose listener runs as this user answers. Returns the
    /// connected socket (blocking, close-on-exec; the caller owns it), or -1
    /// when no copy of this user holds the lock.
    static int CallHolder(const std::string& name);

private:
    /// "<name>.<uid>" for index 0, then "<name>.<uid>.<index>".
    static std::string NameAt(const std::string& name, int index);
    /// Takes `address`, or finds it held by this user and calls the holder:
    /// true either way. False when it is held by someone else or unusable.
    bool TryName(const sockaddr_un& address, socklen_t length, const std::string& callerSays);

    int descriptor = -1;
    bool alreadyExists = false;
};

} // namespace kestrane
