#include "files/BeneathFolder.h"

#include "files/OpenBeneath.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kestrane {
namespace {

constexpr const char* kMarkName = "user.kestrane.part";
constexpr std::size_t kLongestMark = 256;

// Closes `file`, keeping the errno of what went before.
void CloseKeepingError(int file) {
    const int saved = errno;
    ::close(file);
    errno = saved;
}

// The last part of a path inside the folder: the name its parent holds.
std::string LeafOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

} // namespace

BeneathFolder::BeneathFolder(const std::string& folder)
    : descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

BeneathFolder::~BeneathFolder() {
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

int BeneathFolder::OpenBeneath(const std::string& path, int flags, unsigned mode) const {
    return kestrane::OpenBeneath(descriptor, path, flags, mode);
}

int BeneathFolder::OpenFile(const std::string& path) const {
    return OpenBeneath(path, O_RDWR, 0);
}

int BeneathFolder::MakeFile(const std::string& path) const {
    return OpenBeneath(path, O_RDWR | O_CREAT | O_EXCL, 0666);
}

int BeneathFolder::OpenExisting(const std::string& path, bool folder) const {
    // O_NONBLOCK: a pipe put under the name must not hold the open.
    const int file = OpenBeneath(path, O_RDONLY | O_NONBLOCK | (folder ? O_DIRECTORY : 0), 0);
    struct stat status {};
    if (file >= 0 && (::fstat(file, &status) != 0 || S_ISDIR(status.st_mode) != folder ||
                      (!folder && !S_ISREG(status.st_mode)))) {
        ::close(file);
        errno = EEXIST;
        return -1;
    }
    return file;
}

int BeneathFolder::OpenParent(const std::string& path) const {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? ::dup(descriptor)
                                      : OpenBeneath(path.substr(0, slash), O_PATH | O_DIRECTORY, 0);
}

bool BeneathFolder::MakeFolder(const std::string& path) const {
    const int parent = OpenParent(path);
    if (parent < 0) {
        return false;
    }
    const bool made = ::mkdirat(parent, LeafOf(path).c_str(), 0777) == 0;
    CloseKeepingError(parent);
    return made;
}

std::optional<std::set<std::string>> BeneathFolder::Names(const std::string& path) const {
    const int opened = OpenBeneath(path, O_RDONLY | O_DIRECTORY, 0);
    DIR* listing = opened >= 0 ? ::fdopendir(opened) : nullptr;
    if (listing == nullptr) {
        if (opened >= 0) {
            ::close(opened);
        }
        return std::nullopt;
    }
    std::set<std::string> names;
    while (const dirent* item = ::readdir(listing)) {
        const std::string_view name = item->d_name;
        if (name != "." && name != "..") {
            names.emplace(name);
        }
    }
    ::closedir(listing);
    return names;
}

bool BeneathFolder::Exists(const std::string& path) const {
    struct stat status {};
    return ::fstatat(descriptor, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool BeneathFolder::RemoveFile(const std::string& path) const {
    const int parent = OpenParent(path);
    if (parent < 0) {
        return false;
    }
    const bool removed = ::unlinkat(parent, LeafOf(path).c_str(), 0) == 0;
    CloseKeepingError(parent);
    return removed;
}

bool BeneathFolder::Rename(const std::string& from, const std::string& to) const {
    if (noReplaceFlag) {
        if (::renameat2(descriptor, from.c_str(), descriptor, to.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        // Network and stacked file systems refuse the flag with EINVAL.
        if (errno != EINVAL) {
            return false;
        }
    }
    struct stat status {};
    if (::fstatat(descriptor, from.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        // A new link never replaces a name; then the old name goes.
        if (::linkat(descriptor, from.c_str(), descriptor, to.c_str(), 0) != 0) {
            return false;
        }
        ::unlinkat(descriptor, from.c_str(), 0);
        return true;
    }
    // A folder cannot be linked: claim the name with an empty folder of our
    // own, which a plain rename may replace (it never replaces one that holds
    // anything).
    if (::mkdirat(descriptor, to.c_str(), 0700) != 0) {
        return false;
    }
    if (::renameat(descriptor, from.c_str(), descriptor, to.c_str()) == 0) {
        return true;
    }
    const int saved = errno;
    ::unlinkat(descriptor, to.c_str(), AT_REMOVEDIR);
    errno = saved;
    return false;
}

bool BeneathFolder::Sync(const std::string& path) const {
    const int file = OpenBeneath(path, O_RDONLY | O_NONBLOCK, 0);
    if (file < 0) {
        return false;
    }
    const bool synced = ::fsync(file) == 0;
    CloseKeepingError(file);
    return synced;
}

bool BeneathFolder::SyncFileSystem() const {
    return ::syncfs(descriptor) == 0;
}

bool BeneathFolder::SyncReachesDisk() const {
    // syncfs writes back every dirty page and inode of a local file system and
    // flushes its device. FUSE passes it to the server only where the server
    // asks for it (virtiofs), and network file systems do not promise it.
    static constexpr std::uint32_t kFlushedBySyncfs[] = {
        0xEF53,     // ext2, ext3, ext4
        0x58465342, // XFS
        0x9123683E, // Btrfs
        0x01021994, // tmpfs
        0xF2F52010, // F2FS
        0x4D44,     // vfat
        0x2011BAB0, // exFAT
    };
    struct statfs status {};
    if (::fstatfs(descriptor, &status) != 0) {
        return false;
    }
    const auto type = static_cast<std::uint32_t>(status.f_type);
    return std::find(std::begin(kFlushedBySyncfs), std::end(kFlushedBySyncfs), type) !=
           std::end(kFlushedBySyncfs);
}

bool BeneathFolder::SetMark(int file, const std::string& value) {
    return ::fsetxattr(file, kMarkName, value.data(), value.size(), 0) == 0;
}

std::optional<std::string> BeneathFolder::MarkOf(int file) {
    char value[kLongestMark];
    const ssize_t size = ::fgetxattr(file, kMarkName, value, sizeof value);
    if (size < 0) {
        return std::nullopt;
    }
    return std::string(value, static_cast<std::size_t>(size));
}

void BeneathFolder::ClearMark(int file) {
    ::fremovexattr(file, kMarkName);
}

std::optional<std::uint64_t> BeneathFolder::FreeBytes() const {
    struct statvfs status {};
    if (::fstatvfs(descriptor, &status) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
}

} // namespace kestrane
