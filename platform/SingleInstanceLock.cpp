#include "platform/SingleInstanceLock.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrane {

namespace {

// An abstract address starts with a NUL byte and is not NUL-terminated: its
// length is part of the name. Returns 0 when the name does not fit.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address.sun_path) {
        return 0;
    }
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Whether the process at the other end of a connected Unix socket runs as
// this user: the kernel records a listener's credentials at listen() and a
// caller's at connect(), so neither side can claim another user's.
bool PeerIsThisUser(int connected) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(connected, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::getuid();
}

constexpr int kCallBacklog = 16;

// A non-blocking socket connected to the listener on `address`, or -1. A
// listener that never accepts must not stall the caller in connect.
int Connect(const sockaddr_un& address, socklen_t length) {
    const int caller = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (caller >= 0 &&
        ::connect(caller, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(caller);
        return -1;
    }
    return caller;
}

} // namespace

std::string SingleInstanceLock::NameAt(const std::string& name, int index) {
    const std::string base = name + "." + std::to_string(::getuid());
    return index == 0 ? base : base + "." + std::to_string(index);
}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::string& callerSays) {
    for (int index = 0; index < kMostNames; ++index) {
        sockaddr_un address{};
        const socklen_t length = AbstractAddress(NameAt(name, index), address);
        if (length != 0 && TryName(address, length, callerSays)) {
            return;
        }
    }
    // Without a lock the program runs as if it were the first copy, as it
    // would if the named mutex could not be made.
}

bool SingleInstanceLock::TryName(const sockaddr_un& address, socklen_t length,
                                 const std::string& callerSays) {
    // CLOEXEC: a program started from ours must not keep the name alive after
    // we close it. NONBLOCK: a call that went away before it was taken must
    // not stall the UI thread in accept, and a holder that never accepts must
    // not stall our start in connect.
    const int candidate = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (candidate < 0) {
        return false;
    }
    const auto* target = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(candidate, target, length) == 0) {
        // Calls wait in the backlog until the holder's event loop takes them.
        if (::listen(candidate, kCallBacklog) == 0) {
            descriptor = candidate;
            return true;
        }
        ::close(candidate);
        return false;
    }
    const bool inUse = errno == EADDRINUSE;
    ::close(candidate);
    if (!inUse) {
        return false;
    }
    // The connection is the call: the holder comes forward when it ends
    // without a byte, or when it has read what the caller says.
    // A name nobody listens on, or whose backlog is full, cannot be checked
    // and so is not counted as ours.
    const int caller = Connect(address, length);
    alreadyExists = caller >= 0 && PeerIsThisUser(caller);
    if (alreadyExists && !callerSays.empty()) {
        // A few bytes fit in a fresh connection's buffer: never waits.
        static_cast<void>(
            ::send(caller, callerSays.data(), callerSays.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
    }
    if (caller >= 0) {
        ::close(caller);
    }
    return alreadyExists;
}

SingleInstanceLock::~SingleInstanceLock() {
    Close();
}

bool SingleInstanceLock::AlreadyExists() const {
    return alreadyExists;
}

void SingleInstanceLock::Close() {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

int SingleInstanceLock::AcceptCall() {
    // Bounded, so that other users calling without pause cannot hold the UI
    // thread here; the held socket stays readable for the rest.
    for (int taken = 0; descriptor >= 0 && taken < kCallBacklog; ++taken) {
        const int call = ::accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (call < 0) {
            return -1;
        }
        // An abstract name is open to every user in the namespace.
        if (PeerIsThisUser(call)) {
            return call;
        }
        ::close(call);
    }
    return -1;
}

int SingleInstanceLock::CallHolder(const std::string& name) {
    // Every name is tried, not only those up to the first free one: the holder
    // may have taken a later name while an earlier one was squatted, and that
    // name may be free now.
    for (int index = 0; index < kMostNames; ++index) {
        sockaddr_un address{};
        const socklen_t length = AbstractAddress(NameAt(name, index), address);
        const int caller = length == 0 ? -1 : Connect(address, length);
        if (caller >= 0 && PeerIsThisUser(caller) &&
            ::fcntl(caller, F_SETFL, ::fcntl(caller, F_GETFL) & ~O_NONBLOCK) == 0) {
            return caller;
        }
        if (caller >= 0) {
            ::close(caller);
        }
    }
    return -1;
}

} // namespace kestrane
