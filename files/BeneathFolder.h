#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace kestrane {

/// A folder that names from the network are made in, and nothing outside
/// it: every path is resolved beneath it, and never through a symbolic link
/// (openat2 with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS). Owns a descriptor
/// of the folder. One thread at a time.
class BeneathFolder {
public:
    explicit BeneathFolder(const std::string& folder);
    ~BeneathFolder();
    BeneathFolder(const BeneathFolder&) = delete;
    BeneathFolder& operator=(const BeneathFolder&) = delete;

    bool IsOpen() const { return descriptor >= 0; }
    /// An existing file for reading and writing; -1 with errno.
    int OpenFile(const std::string& path) const;
    /// A file for reading and writing that this call makes; -1 with errno
    /// (EEXIST when the name is taken, also by another spelling where the
    /// file system ignores case).
    int MakeFile(const std::string& path) const;
    /// An existing folder, or file, for reading; -1 with errno.
    int OpenExisting(const std::string& path, bool folder) const;
    /// Makes a folder in one that exists; false with errno (EEXIST when the
    /// name is taken).
    bool MakeFolder(const std::string& path) const;
    bool Exists(const std::string& path) const;
    /// The names a folder holds, spelt as it holds them; nothing when it
    /// cannot be read.
    std::optional<std::set<std::string>> Names(const std::string& path) const;
    /// Removes a file; false with errno.
    bool RemoveFile(const std::string& path) const;
    /// Renames within the folder, never over an existing name; false with errno
    /// (EEXIST when the new name is taken).
    bool Rename(const std::string& from, const std::string& to) const;
    /// Flushes a file or folder ("." for this one) to the disk; false with errno.
    bool Sync(const std::string& path) const;
    /// Flushes everything written on the folder's file system: one call for
    /// a whole tree of files; false with errno.
    bool SyncFileSystem() const;
    /// Whether SyncFileSystem puts the bytes written on the disk: on the local
    /// file systems known to do so (ext4, XFS, Btrfs, tmpfs, F2FS, vfat, exFAT).
    /// On FUSE and network file systems, and any other, each file must be
    /// flushed on its own.
    bool SyncReachesDisk() const;
    /// Bytes free for this user on the folder's file system.
    std::optional<std::uint64_t> FreeBytes() const;

    /// Kestrane's mark on a working file or folder it made: the extended
    /// attribute user.kestrane.part, holding what it was made for. Where the
    /// file system keeps no user attributes nothing carries a mark, so nothing
    /// there is ever taken for Kestrane's own.
    static bool SetMark(int file, const std::string& value);
    static std::optional<std::string> MarkOf(int file);
    static void ClearMark(int file);

    /// False makes Rename do without RENAME_NOREPLACE, as it must on file
    /// systems that refuse it (tests set it).
    bool noReplaceFlag = true;

private:
    int OpenBeneath(const std::string& path, int flags, unsigned mode) const;
    /// The folder that holds `path` (this one for a top-level name), or -1.
    int OpenParent(const std::string& path) const;

    int descriptor = -1;
};

} // namespace kestrane
