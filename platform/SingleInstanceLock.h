#pragma once

#include <string>

namespace kestrane {

/// A named lock that at most one process of a user holds at a time, within one
/// network namespace: an abstract Unix socket named "<name>.<uid>". Process
/// death frees it. Owns the socket that holds the name. UI thread only.
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

private:
    int descriptor = -1;
    bool alreadyExists = false;
};

} // namespace kestrane
