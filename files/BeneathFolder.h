#pragma once

#include <cstdint>
#include <optional>
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
    /// A file for reading and writing, made when missing; -1 with errno.
    int OpenFile(const std::string& path) const;
    /// Makes the folder and its missing parents; false with errno.
    bool MakeFolders(const std::string& path) const;
    bool Exists(const std::string& path) const;
    /// Removes a file; false with errno.
    bool RemoveFile(const std::string& path) const;
    /// Renames within the folder, never over an existing name; false with errno
    /// (EEXIST when the new name is taken).
    bool Rename(const std::string& from, const std::string& to) const;
    /// Bytes free for this user on the folder's file system.
    std::optional<std::uint64_t> FreeBytes() const;

private:
    int OpenBeneath(const std::string& path, int flags, unsigned mode) const;

    int descriptor = -1;
};

} // namespace kestrane
