#include "platform/SingleInstanceLock.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
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

constexpr int kCallBacklog = 4;

} // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : addressLength(AbstractAddress(name + "." + std::to_string(::getuid()), address)) {
    // CLOEXEC: a program started from ours must not keep the name alive after
    // we close it. NONBLOCK: a call that went away before it was taken must
    // not stall the UI thread in accept.
    int candidate = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (addressLength == 0 || candidate < 0) {
        // Without a lock the program runs as if it were the first copy, as it
        // would if the named mutex could not be made.
        if (candidate >= 0) {
            ::close(candidate);
        }
        return;
    }
    if (::bind(candidate, reinterpret_cast<const sockaddr*>(&address), addressLength) == 0) {
        // Calls wait in the backlog until the holder's event loop takes them.
        ::listen(candidate, kCallBacklog);
        descriptor = candidate;
        return;
    }
    alreadyExists = errno == EADDRINUSE;
    ::close(candidate);
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

bool SingleInstanceLock::CallHolder() const {
    if (addressLength == 0) {
        return false;
    }
    const int caller = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (caller < 0) {
        return false;
    }
    // The connection itself is the message; a full backlog refuses it at once.
    const bool called =
        ::connect(caller, reinterpret_cast<const sockaddr*>(&address), addressLength) == 0;
    ::close(caller);
    return called;
}

bool SingleInstanceLock::TakeCall() {
    if (descriptor < 0) {
        return false;
    }
    const int call = ::accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC);
    if (call < 0) {
        return false;
    }
    // An abstract name is open to every user in the namespace.
    ucred caller{};
    socklen_t size = sizeof caller;
    const bool ours = ::getsockopt(call, SOL_SOCKET, SO_PEERCRED, &caller, &size) == 0 &&
                      caller.uid == ::getuid();
    ::close(call);
    return ours;
}

} // namespace kestrane
