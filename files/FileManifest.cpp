#include "files/FileManifest.h"

#include "files/SafeRelativePath.h"
#include "files/TransferText.h"

#include <limits>
#include <unordered_map>

namespace kestrane {

std::string FileManifest::Compose() const {
    std::string text;
    for (const ManifestEntry& entry : entries) {
        const std::string path = TransferText::EncodeWord(entry.path);
        text += entry.folder ? "D " + path
                             : "F " + std::to_string(entry.size) + ' ' + entry.digest + ' ' + path;
        text += '\n';
    }
    return text;
}

std::optional<ManifestEntry> FileManifest::ParseEntry(std::string_view line) {
    const auto words = TransferText::Words(line);
    ManifestEntry entry;
    std::optional<std::string> path;
    if (words.size() == 2 && words[0] == "D") {
        entry.folder = true;
        path = TransferText::DecodeWord(words[1]);
    } else if (words.size() == 4 && words[0] == "F" && TransferText::IsDigest(words[2])) {
        const auto size = TransferText::ParseCount(words[1]);
        if (!size) {
            return std::nullopt;
        }
        entry.size = *size;
        entry.digest = std::string(words[2]);
        path = TransferText::DecodeWord(words[3]);
    }
    if (!path) {
        return std::nullopt;
    }
    entry.path = std::move(*path);
    return entry;
}

std::optional<std::string> FileManifest::Problem() const {
    if (entries.empty() || entries.size() > kMostEntries) {
        return "it lists " + std::to_string(entries.size()) + " entries; an offer lists 1 to " +
               std::to_string(kMostEntries);
    }
    // Every path, and whether it is a folder: a file must not stand where
    // another entry needs a folder, and nothing may come twice.
    std::unordered_map<std::string_view, bool> isFolder;
    std::uint64_t total = 0;
    for (const ManifestEntry& entry : entries) {
        const std::string shown = SafeRelativePath::Quoted(entry.path);
        if (auto problem = SafeRelativePath::Problem(entry.path)) {
            return "the name " + shown + " is refused: " + *problem;
        }
        if (!isFolder.emplace(entry.path, entry.folder).second) {
            return "it lists " + shown + " twice";
        }
        if (entry.size > std::numeric_limits<std::uint64_t>::max() - total) {
            return "its sizes add up to more than any disk holds";
        }
        total += entry.size;
    }
    for (const ManifestEntry& entry : entries) {
        for (std::size_t slash = entry.path.find('/'); slash != std::string::npos;
             slash = entry.path.find('/', slash + 1)) {
            const auto parent = isFolder.find(std::string_view(entry.path).substr(0, slash));
            if (parent != isFolder.end() && !parent->second) {
                return SafeRelativePath::Quoted(entry.path) + " lies inside a file";
            }
        }
    }
    return std::nullopt;
}

std::uint64_t FileManifest::TotalBytes() const {
    std::uint64_t total = 0;
    for (const ManifestEntry& entry : entries) {
        total += entry.size;
    }
    return total;
}

} // namespace kestrane
