#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
/// with the path as a TransferText word.
class FileManifest {
public:
    static constexpr std::uint64_t kMostEntries = 100'000;

    /// The entry lines, each ending in LF.
    std::string Compose() const;
    /// One entry line without its LF; nothing when malformed.
    static std::optional<ManifestEntry> ParseEntry(std::string_view line);
    /// Nothing when every entry can be made under a folder the person chose
    /// and nothing else, else what is wrong with the offer, for the person.
    std::optional<std::string> Problem() const;
    /// The files' sizes added up; Problem() has ruled out an overflow.
    std::uint64_t TotalBytes() const;

    std::vector<ManifestEntry> entries;
};

} // namespace kestrane
