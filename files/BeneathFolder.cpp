#include "files/BeneathFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrane {

BeneathFolder::BeneathFolder(const std::string& folder)
    : descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

BeneathFolder::~BeneathFolder() {
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

int BeneathFolder::OpenBeneath(const std::string& path, int flags, unsigned mode) const {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long opened;
    do {
        opened = ::syscall(SYS_openat2, descriptor, path.c_str(), &how, sizeof how);
    } while (opened < 0 && (errno == EINTR || errno == EAGAIN));
    return static_cast<int>(opened);
}

int BeneathFolder::OpenFile(const std::string& path) const {
    return OpenBeneath(path, O_RDWR | O_CREAT, 0666);
}

bool BeneathFolder::MakeFolders(const std::string& path) const {
    std::size_t end = 0;
    do {
        end = path.find('/', end + 1);
        const std::string part = path.substr(0, end);
        const std::size_t slash = part.rfind('/');
        const int parent = slash == std::string::npos
                               ? ::dup(descriptor)
                               : OpenBeneath(part.substr(0, slash), O_PATH | O_DIRECTORY, 0);
        if (parent < 0) {
            return false;
        }
        const std::string leaf = slash == std::string::npos ? part : part.substr(slash + 1);
        const bool made = ::mkdirat(parent, leaf.c_str(), 0777) == 0 || errno == EEXIST;
        const int saved = errno;
        ::close(parent);
        errno = saved;
        // A name that exists must be a folder reached without a link.
        if (!made) {
            return false;
        }
        const int check = OpenBeneath(part, O_PATH | O_DIRECTORY, 0);
        if (check < 0) {
            return false;
        }
        ::close(check);
    } while (end != std::string::npos);
    return true;
}

bool BeneathFolder::Exists(const std::string& path) const {
    struct stat status {};
    return ::fstatat(descriptor, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool BeneathFolder::RemoveFile(const std::string& path) const {
    const std::size_t slash = path.rfind('/');
    const int parent = slash == std::string::npos
                           ? ::dup(descriptor)
                           : OpenBeneath(path.substr(0, slash), O_PATH | O_DIRECTORY, 0);
    if (parent < 0) {
        return false;
    }
    const bool removed = ::unlinkat(parent, path.substr(slash + 1).c_str(), 0) == 0;
    const int saved = errno;
    ::close(parent);
    errno = saved;
    return removed;
}

bool BeneathFolder::Rename(const std::string& from, const std::string& to) const {
    return ::renameat2(descriptor, from.c_str(), descriptor, to.c_str(), RENAME_NOREPLACE) == 0;
}

std::optional<std::uint64_t> BeneathFolder::FreeBytes() const {
    struct statvfs status {};
    if (::fstatvfs(descriptor, &status) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
}

} // namespace kestrane
