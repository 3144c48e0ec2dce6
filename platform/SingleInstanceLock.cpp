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

} // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name) {
    sockaddr_un address;
    socklen_t length = AbstractAddress(name + "." + std::to_string(::getuid()), address);
    // CLOEXEC: a program started from ours must not keep the name alive after we close it.
    int candidate = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (length == 0 || candidate < 0) {
        // Without a lock the program runs as if it were the first copy, as it
        // would if the named mutex could not be made.
        if (candidate >= 0) {
            ::close(candidate);
        }
        return;
    }
    if (::bind(candidate, reinterpret_cast<sockaddr*>(&address), length) == 0) {
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

} // namespace kestrane
