#include "files/FileManifest.h"

#include "files/SafeRelativePath.h"
#include "files/TransferText.h"

#include <limits>

namespace kestrane {

std::string FileManifest::Line(const ManifestEntry& entry, int version) {
    const std::string path = TransferText::EncodeWord(entry.path);
    if (entry.folder) {
        return "D " + path + '\n';
    }
    const std::string digest = version == 1 ? entry.digest + ' ' : std::string();
    return "F " + std::to_string(entry.size) + ' ' + digest + path + '\n';
}

std::string FileManifest::Compose(int version) const {
    std::string text;
    for (const ManifestEntry& entry : entries) {
        text += Line(entry, version);
    }
    return text;
}

std::optional<ManifestEntry> FileManifest::ParseEntry(std::string_view line, int version) {
    auto words = TransferText::Words(line);
    ManifestEntry entry;
    std::optional<std::string> path;
    const std::size_t fileWords = version == 1 ? 4 : 3;
    if (words.size() == 2 && words[0] == "D") {
        entry.folder = true;
        path = TransferText::DecodeWord(words[1]);
    } else if (words.size() == fileWords && words[0] == "F" &&
               (version != 1 || TransferText::IsDigest(words[2]))) {
        const auto size = TransferText::ParseCount(words[1]);
        if (!size) {
            return std::nullopt;
        }
        entry.size = *size;
        entry.digest = version == 1 ? std::string(words[2]) : std::string();
        path = TransferText::DecodeWord(words.back());
    }
    if (!path) {
        return std::nullopt;
    }
    entry.path = std::move(*path);
    return entry;
}

std::optional<std::string> FileManifest::Add(ManifestEntry entry, std::size_t lineBytes) {
    const std::string shown = SafeRelativePath::Quoted(entry.path);
    if (entries.size() >= kMostEntries) {
        return "it lists more than " + std::to_string(kMostEntries) + " entries";
    }
    if (lineBytes > kLongestText - textBytes) {
        return "its list is longer than " + std::to_string(kLongestText) + " bytes";
    }
    if (auto problem = SafeRelativePath::Problem(entry.path)) {
        return "the name " + shown + " is refused: " + *problem;
    }
    // Only the nearest folder needs looking up: it was checked the same way.
    const std::size_t slash = entry.path.rfind('/');
    if (slash != std::string::npos) {
        const auto parent = listed.find(entry.path.substr(0, slash));
        if (parent == listed.end()) {
            return shown + " comes before the folder that holds it";
        }
        if (!parent->second) {
            return shown + " lies inside a file";
        }
    }
    if (entry.size > std::numeric_limits<std::uint64_t>::max() - addedBytes) {
        return "its sizes add up to more than any disk holds";
    }
    if (!listed.emplace(entry.path, entry.folder).second) {
        return "it lists " + shown + " twice";
    }
    addedBytes += entry.size;
    textBytes += lineBytes;
    entries.push_back(std::move(entry));
    return std::nullopt;
}

std::optional<std::string> FileManifest::Problem() const {
    FileManifest checked;
    for (const ManifestEntry& entry : entries) {
        if (auto problem = checked.Add(entry, Line(entry).size())) {
            return problem;
        }
    }
    if (entries.empty()) {
        return "it lists no entries";
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
