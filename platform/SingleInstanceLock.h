#pragma once

#include <string>

namespace kestrane {

/// A named lock that at most one process of a user holds at a time, within one
/// network namespace (each namespace is a host of its own on the network, with
/// its own port to listen on).
///
/// It lives in the user's runtime folder ($XDG_RUNTIME_DIR, or /tmp/kestrane-<uid>
/// where there is none), which only the user can enter: "<name>.net<namespace>.lock",
/// held with flock, and beside it "<name>.net<namespace>.socket", on which the holder
/// listens. No other user can take, hold or call it, and process death frees
/// it. A folder that is not the user's own alone (another user made it, or
/// others may enter it) is not used: the program then runs without the lock,
/// and says so on stderr.
///
/// A copy that finds the lock taken calls the holder through the socket (a
/// call that ends without a byte brings its window forward), and so can a
/// process of the user that has more to say. Owns the lock and the socket.
/// UI thread only.
class SingleInstanceLock {
public:
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

    /// The socket calls come in on, readable while a call waits; -1 when
    /// nothing is held.
    int Descriptor() const { return listening; }
    /// Takes one waiting call of this user without blocking and returns its
    /// socket (non-blocking, close-on-exec; the caller owns it), or -1 when
    /// none waits.
    int AcceptCall();

    /// Calls the process of this user that holds the lock `name`, without
    /// taking it. Returns the connected socket (blocking, close-on-exec; the
    /// caller owns it), or -1 when no copy of this user holds the lock.
    static int CallHolder(const std::string& name);

    /// The folder the lock lives in, made if missing; empty, with the reason
    /// in `problem`, when there is none that only this user can enter.
    static std::string RuntimeFolder(std::string& problem);

private:
    /// "<folder>/<name>.net<namespace>": the lock and the socket add their suffixes.
    static std::string PathOf(const std::string& folder, const std::string& name);
    /// Listens on `socketPath`, replacing what a holder that died left there.
    bool Listen(const std::string& socketPath);

    int lockFile = -1;  // holds the flock while open
    int listening = -1; // the socket calls come in on
    std::string socketPath;
    bool alreadyExists = false;
};

} // namespace kestrane
