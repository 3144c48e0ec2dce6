#include "platform/SingleInstanceLock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace kestrane {

namespace {

constexpr int kCallBacklog = 16;
// A holder is between taking the lock and listening for a few microseconds;
// one that is stuck there longer is not waited for.
constexpr auto kHolderListensWithin = std::chrono::seconds(1);
constexpr auto kConnectRetry = std::chrono::milliseconds(10);

// Whether the process at the other end of a connected Unix socket runs as
// this user: the kernel records a listener's credentials at listen() and a
// caller's at connect(), so neither side can claim another user's.
bool PeerIsThisUser(int connected) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(connected, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::getuid();
}

// Only this user may enter `folder`, and it is a folder, not a link to one.
std::string FolderProblem(const std::string& folder) {
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) {
        return folder + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return folder + " is not a folder";
    }
    if (status.st_uid != ::getuid()) {
        return folder + " belongs to another user";
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return folder + " is open to other users";
    }
    return {};
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// A non-blocking socket connected to the listener at `path`, or -1 with errno.
// A listener that never accepts must not stall the caller in connect.
int Connect(const std::string& path) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int caller = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (caller >= 0 &&
        ::connect(caller, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(caller);
        errno = error;
        return -1;
    }
    return caller;
}

// An open file description's lock over the whole file: not shared with other
// descriptions, even in this process, and freed when the description closes.
flock WholeFile(short type) {
    flock whole{};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    return whole;
}

bool IsHeld(const std::string& lockPath) {
    const int file = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) {
        return false;
    }
    flock probe = WholeFile(F_WRLCK);
    const bool held = ::fcntl(file, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(file);
    return held;
}

// Calls the holder of the lock at `base`, waiting briefly for one that has
// just taken the lock to listen. A socket left by a holder that died is not
// answered, and the lock then shows nobody holds it.
int CallHolderAt(const std::string& base, bool knownHeld) {
    const auto giveUp = std::chrono::steady_clock::now() + kHolderListensWithin;
    for (;;) {
        const int caller = Connect(base + ".socket");
        if (caller >= 0) {
            if (PeerIsThisUser(caller)) {
                return caller;
            }
            ::close(caller);
            return -1;
        }
        const bool notYet = errno == ENOENT || errno == ECONNREFUSED || errno == EAGAIN;
        if (!notYet || std::chrono::steady_clock::now() >= giveUp ||
            !(knownHeld || IsHeld(base + ".lock"))) {
            return -1;
        }
        std::this_thread::sleep_for(kConnectRetry);
    }
}

// The network namespace this process is in, as the kernel numbers it; empty
// where /proc does not tell.
std::string NetworkNamespace() {
    struct stat status {};
    return ::stat("/proc/self/ns/net", &status) == 0 ? std::to_string(status.st_ino)
                                                     : std::string();
}

} // namespace

std::string SingleInstanceLock::RuntimeFolder(std::string& problem) {
    // The session's runtime folder is made by the login manager for this
    // user alone; without a session, a folder of our own in /tmp.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string folder = runtime;
        problem = FolderProblem(folder);
        if (problem.empty()) {
            return folder;
        }
    }
    std::string folder = "/tmp/kestrane-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = folder + ": " + std::strerror(errno);
        return {};
    }
    // Made by us under another umask: ours to close. O_NOFOLLOW|O_DIRECTORY
    // refuses a link put there by someone else.
    if (const int opened = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        opened >= 0) {
        struct stat status {};
        if (::fstat(opened, &status) == 0 && status.st_uid == ::getuid()) {
            ::fchmod(opened, 0700);
        }
        ::close(opened);
    }
    problem = FolderProblem(folder);
    return problem.empty() ? folder : std::string();
}

std::string SingleInstanceLock::PathOf(const std::string& folder, const std::string& name) {
    return folder + "/" + name + ".net" + NetworkNamespace();
}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::string& callerSays) {
    std::string problem;
    const std::string folder = RuntimeFolder(problem);
    if (folder.empty()) {
        // As the original runs when its named mutex cannot be made: as the first copy.
        std::fprintf(stderr, "Kestrane runs without its single-instance lock: %s\n",
                     problem.c_str());
        return;
    }
    const std::string base = PathOf(folder, name);
    // CLOEXEC: a program started from ours must not keep the lock after we close it.
    lockFile = ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    flock whole = WholeFile(F_WRLCK);
    if (lockFile >= 0 && ::fcntl(lockFile, F_OFD_SETLK, &whole) == 0) {
        if (!Listen(base + ".socket")) {
            std::fprintf(stderr, "Kestrane cannot take calls from other starts at %s.socket: %s\n",
                         base.c_str(), std::strerror(errno));
        }
        return;
    }
    const bool heldByAnother = lockFile >= 0 && (errno == EAGAIN || errno == EACCES);
    if (lockFile >= 0) {
        ::close(lockFile);
        lockFile = -1;
    }
    if (!heldByAnother) {
        std::fprintf(stderr, "Kestrane runs without its single-instance lock: %s.lock: %s\n",
                     base.c_str(), std::strerror(errno));
        return;
    }
    // Only this user can enter the folder: whoever holds the lock is a copy
    // of ours, whether or not it can be called. The connection is the call:
    // the holder comes forward when it ends without a byte, or when it has
    // read what the caller says.
    alreadyExists = true;
    const int caller = CallHolderAt(base, true);
    if (caller >= 0 && !callerSays.empty()) {
        // A few bytes fit in a fresh connection's buffer: never waits.
        static_cast<void>(
            ::send(caller, callerSays.data(), callerSays.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
    }
    if (caller >= 0) {
        ::close(caller);
    }
}

bool SingleInstanceLock::Listen(const std::string& path) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        errno = ENAMETOOLONG;
        return false;
    }
    // NONBLOCK: a call that went away before it was taken must not stall the
    // UI thread in accept.
    const int candidate = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (candidate < 0) {
        return false;
    }
    // What is there was left by a holder that died: the lock was free.
    ::unlink(path.c_str());
    // Calls wait in the backlog until the holder's event loop takes them.
    if (::bind(candidate, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(candidate, kCallBacklog) != 0) {
        const int error = errno;
        ::close(candidate);
        errno = error;
        return false;
    }
    listening = candidate;
    socketPath = path;
    return true;
}

SingleInstanceLock::~SingleInstanceLock() {
    Close();
}

bool SingleInstanceLock::AlreadyExists() const {
    return alreadyExists;
}

void SingleInstanceLock::Close() {
    // The socket goes while the lock is still held, so it can never remove
    // the socket of the copy that takes the lock next.
    if (listening >= 0) {
        ::unlink(socketPath.c_str());
        ::close(listening);
        listening = -1;
    }
    if (lockFile >= 0) {
        ::close(lockFile);
        lockFile = -1;
    }
}

int SingleInstanceLock::AcceptCall() {
    // Bounded, so that calls without pause cannot hold the UI thread here;
    // the socket stays readable for the rest.
    for (int taken = 0; listening >= 0 && taken < kCallBacklog; ++taken) {
        const int call = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (call < 0) {
            return -1;
        }
        // The folder keeps other users out; root is not one of ours either.
        if (PeerIsThisUser(call)) {
            return call;
        }
        ::close(call);
    }
    return -1;
}

int SingleInstanceLock::CallHolder(const std::string& name) {
    std::string problem;
    const std::string folder = RuntimeFolder(problem);
    if (folder.empty()) {
        return -1;
    }
    const int caller = CallHolderAt(PathOf(folder, name), false);
    if (caller >= 0 && ::fcntl(caller, F_SETFL, ::fcntl(caller, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(caller);
        return -1;
    }
    return caller;
}

} // namespace kestrane
