#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace kestrane {

/// What a file was when it was offered: served later only while it is still
/// that same file, unchanged.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;

    static FileStamp Of(const struct stat& status) {
        return {status.st_dev, status.st_ino, static_cast<std::uint64_t>(status.st_size),
                status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
    }
    bool operator==(const FileStamp&) const = default;
};

/// The folder that holds an item chosen for an offer, kept open from the
/// offer on, so that what is served later is read from the very folder that
/// was hashed, even when a path on the way to it was renamed or swapped for a
/// symbolic link meanwhile. Names are resolved beneath it and never through a
/// link (openat2 with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS).
///
/// Owns a descriptor of the folder (O_PATH). Never changes once made: safe
/// to share between threads.
class OfferedFolder {
public:
    /// Opens `folder`; null when it cannot be opened (errno says why).
    static std::shared_ptr<const OfferedFolder> Open(const std::string& folder);
    ~OfferedFolder();
    OfferedFolder(const OfferedFolder&) = delete;
    OfferedFolder& operator=(const OfferedFolder&) = delete;

    /// `path` for reading, non-blocking (a pipe put in a file's place cannot
    /// hold up the open); -1 with errno.
    int OpenForReading(const std::string& path) const;
    /// `path` as a folder to list; -1 with errno.
    int OpenFolder(const std::string& path) const;
    /// What `path` is, without following a link at its end; false with errno.
    bool Status(const std::string& path, struct stat& status) const;

private:
    explicit OfferedFolder(int folderDescriptor) : descriptor(folderDescriptor) {}
    int OpenBeneath(const std::string& path, int flags) const;

    int descriptor;
};

} // namespace kestrane
