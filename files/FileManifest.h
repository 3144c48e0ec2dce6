#pragma once

#include "files/SafeRelativePath.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrane {

/// One file or folder of an offer. Paths are relative, '/'-separated, as the
/// sender's folder holds them; a folder's entry comes before its contents.
struct ManifestEntry {
    bool folder = false;
    std::uint64_t size = 0; // files only
    std::string digest;     // files only: SHA-256, 64 lower-case hex digits
    std::string path;

    bool operator==(const ManifestEntry&) const = default;
};

/// What an offer holds, as the sender lists it in answer to LIST, after the
/// "OK <entries>" line: one line per entry, LF at its end,
///   F <size> <digest> <path>     a file
///   D <path>                     a folder (empty ones too)
/// with the path as a TransferText word. Every folder that holds an entry is
/// listed before it. A FILES/2 session lists a file without its digest,
/// `F <size> <path>`, and sends the digest after the file's bytes.
class FileManifest {
public:
    static constexpr std::uint64_t kMostEntries = 100'000;
    /// The entry lines together, LF included, are at most this long.
    static constexpr std::uint64_t kLongestText = 32 << 20;
    /// One entry line without its LF: a file's, its longest path with every
    /// byte encoded.
    static constexpr std::size_t kLongestLine =
        2 + 20 + 1 + 64 + 1 + 3 * SafeRelativePath::kLongestPath;

    /// The entry lines, each ending in LF, as `version` of the protocol lists them.
    std::string Compose(int version = 1) const;
    /// One entry line without its LF; nothing when malformed.
    static std::optional<ManifestEntry> ParseEntry(std::string_view line, int version = 1);
    /// Appends `entry` when it may follow the entries added before it, else
    /// says why not, for the person, and leaves it out. `lineBytes` is what
    /// its line took, LF included. So a manifest is checked as it is read.
    std::optional<std::string> Add(ManifestEntry entry, std::size_t lineBytes);
    /// Nothing when every entry can be made under a folder the person chose
    /// and nothing else, else what is wrong with the offer, for the person.
    std::optional<std::string> Problem() const;
    /// The files' sizes added up; Problem() has ruled out an overflow.
    std::uint64_t TotalBytes() const;
    /// One entry's line, LF included.
    static std::string Line(const ManifestEntry& entry, int version = 1);

    std::vector<ManifestEntry> entries;

private:
    std::unordered_map<std::string, bool> listed; // path -> is a folder, of the entries added
    std::uint64_t addedBytes = 0;                 // the files' sizes
    std::uint64_t textBytes = 0;
};

} // namespace kestrane
