#include "files/PlacedEntries.h"

#include "files/BeneathFolder.h"
#include "files/SafeRelativePath.h"
#include "files/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kestrane {
namespace {

constexpr int kMostNumbers = 9999;
constexpr std::string_view kPart = ".part";
// A top-level name leaves room for kPart after it.
constexpr std::size_t kLongestWorkingName = SafeRelativePath::kLongestPart - kPart.size();
// What follows a name's last '.' is an extension up to this long, dot included.
constexpr std::size_t kLongestExtension = 16;

// Final names being written by any fetcher of this process, so that two
// offers of one name never share a .part.
std::mutex reservedMutex;
std::set<std::string> reservedNames; // guarded by reservedMutex; folder + '\0' + name

std::string Quoted(std::string_view name) {
    return SafeRelativePath::Quoted(name);
}

// "name (n).ext" for a file, "name (n)" for a folder or a name without an
// extension; the name part is cut so that the whole is at most `longest`.
std::string Numbered(const std::string& name, int number, bool folder,
                     std::size_t longest = kLongestWorkingName) {
    std::size_t dot = folder ? std::string::npos : name.rfind('.');
    if (dot == 0 || (dot != std::string::npos && name.size() - dot > kLongestExtension)) {
        dot = std::string::npos;
    }
    const std::string suffix = number == 0 ? "" : " (" + std::to_string(number) + ")";
    const std::string_view extension =
        dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot);
    const std::string_view stem = std::string_view(name).substr(0, dot);
    return std::string(SafeRelativePath::Cut(stem, longest - suffix.size() - extension.size())) +
           suffix + std::string(extension);
}

std::string TopName(const std::string& path) {
    return path.substr(0, path.find('/'));
}

std::string LineDigest(const ManifestEntry& entry, int version) {
    Sha256 hash;
    hash.Add(FileManifest::Line(entry, version));
    return hash.Finish();
}

} // namespace

PlacedEntries::PlacedEntries(const FileManifest& offered, const BeneathFolder& into,
                             std::string folderKey, int protocolVersion)
    : manifest(offered), folder(into), key(std::move(folderKey)), version(protocolVersion),
      placementOf(offered.entries.size()), earlier(offered.entries.size()) {}

PlacedEntries::~PlacedEntries() {
    if (keptFile >= 0) {
        ::close(keptFile);
    }
    std::lock_guard guard(reservedMutex);
    for (const std::string& name : reserved) {
        reservedNames.erase(key + '\0' + name);
    }
}

std::string PlacedEntries::WorkingName(const Placement& placement) {
    return placement.finalName + std::string(kPart);
}

std::vector<std::string> PlacedEntries::FinalNames() const {
    std::vector<std::string> finalNames;
    for (const Placement& placement : placements) {
        finalNames.push_back(placement.finalName);
    }
    return finalNames;
}

bool PlacedEntries::Place(std::string& error) {
    // Kestrane's mark on a working name: a file's SHA-256, or for a folder the
    // SHA-256 of the lines of everything in it.
    std::map<std::string, std::size_t> tops; // name -> its placement
    std::map<std::string, Sha256> folderHashes;
    // A FILES/2 list has no digests: a file is known by its line instead.
    const int listed = version == 1 ? 1 : 2;
    for (std::uint64_t index = 0; index < manifest.entries.size(); ++index) {
        const ManifestEntry& entry = manifest.entries[index];
        const std::string top = TopName(entry.path);
        const bool isFolder = entry.folder || top != entry.path;
        if (tops.emplace(top, placements.size()).second) {
            Placement placement;
            placement.name = top;
            placement.folder = isFolder;
            placement.mark = isFolder || listed == 1 ? entry.digest : LineDigest(entry, listed);
            placements.push_back(std::move(placement));
        }
        placementOf[index] = tops[top];
        placements[tops[top]].entries.push_back(index);
        if (isFolder) {
            folderHashes[top].Add(FileManifest::Line(entry, listed));
        }
    }
    for (auto& [top, hash] : folderHashes) {
        placements[tops[top]].mark = hash.Finish();
    }
    std::lock_guard guard(reservedMutex);
    for (Placement& placement : placements) {
        for (placement.number = 0; placement.finalName.empty(); ++placement.number) {
            if (placement.number > kMostNumbers) {
                error = "Every name from " + Quoted(placement.name) + " to " +
                        Quoted(Numbered(placement.name, kMostNumbers, placement.folder)) +
                        " is taken in the folder.";
                return false;
            }
            placement.finalName = Numbered(placement.name, placement.number, placement.folder);
            if (folder.Exists(placement.finalName) || !Usable(placement) ||
                !reservedNames.insert(key + '\0' + placement.finalName).second) {
                placement.finalName.clear();
            }
        }
        --placement.number;
        reserved.insert(placement.finalName);
    }
    return true;
}

// A working name that is there counts as taken unless Kestrane made it for
// this very entry: a person's own "notes.txt.part" is never touched. Where
// two names are one file (a case-insensitive file system), it is resumed for
// one entry only.
bool PlacedEntries::Usable(Placement& placement) {
    const std::string part = WorkingName(placement);
    if (!folder.Exists(part)) {
        placement.resume = false;
        return true;
    }
    const int existing = folder.OpenExisting(part, placement.folder);
    struct stat status {};
    placement.resume = existing >= 0 && BeneathFolder::MarkOf(existing) == placement.mark &&
                       ::fstat(existing, &status) == 0 &&
                       resumed.emplace(status.st_dev, status.st_ino).second;
    if (existing >= 0) {
        ::close(existing);
    }
    return placement.resume;
}

bool PlacedEntries::Renumber(Placement& placement, std::string& error) {
    std::lock_guard guard(reservedMutex);
    reservedNames.erase(key + '\0' + placement.finalName);
    reserved.erase(placement.finalName);
    placement.resume = false;
    while (++placement.number <= kMostNumbers) {
        const std::string name = Numbered(placement.name, placement.number, placement.folder);
        if (!folder.Exists(name) && !folder.Exists(name + std::string(kPart)) &&
            reservedNames.insert(key + '\0' + name).second) {
            placement.finalName = name;
            reserved.insert(name);
            return true;
        }
    }
    error = "Every name from " + Quoted(placement.name) + " to " +
            Quoted(Numbered(placement.name, kMostNumbers, placement.folder)) +
            " is taken in the folder.";
    return false;
}

std::uint64_t PlacedEntries::HeldBytes() const {
    std::uint64_t held = 0;
    for (const Placement& placement : placements) {
        for (const std::uint64_t index : placement.entries) {
            const ManifestEntry& entry = manifest.entries[index];
            if (!placement.resume || entry.folder) {
                continue;
            }
            const int file = folder.OpenExisting(
                WorkingName(placement) + entry.path.substr(placement.name.size()), false);
            struct stat status {};
            if (file >= 0 && ::fstat(file, &status) == 0) {
                held +=
                    std::min<std::uint64_t>(static_cast<std::uint64_t>(status.st_size), entry.size);
            }
            if (file >= 0) {
                ::close(file);
            }
        }
    }
    return held;
}

bool PlacedEntries::Locate(std::uint64_t index, std::string& error) {
    Placement& placement = Of(index);
    while (placement.located < placement.entries.size() &&
           placement.entries[placement.located] <= index) {
        if (!LocateNext(placement, error)) {
            return false;
        }
        ++placement.located;
    }
    return true;
}

bool PlacedEntries::HoldsEarlierWork(std::uint64_t index) {
    const Placement& placement = Of(index);
    if (!placement.resume) {
        return false;
    }
    std::string ignored;
    return !Locate(index, ignored) || earlier[index];
}

bool PlacedEntries::LocateNext(Placement& placement, std::string& error) {
    const std::uint64_t index = placement.entries[placement.located];
    if (placement.located == 0) {
        return MakeTop(placement, index, error);
    }
    return MakeInside(index, error);
}

// The working file or folder of a top-level entry: the one resumed, or one
// made now, under the next free name when the file system finds it taken.
bool PlacedEntries::MakeTop(Placement& placement, std::uint64_t index, std::string& error) {
    int made = -1;
    while (!placement.resume && made < 0) {
        const std::string part = WorkingName(placement);
        made = placement.folder ? (folder.MakeFolder(part) ? folder.OpenExisting(part, true) : -1)
                                : folder.MakeFile(part);
        if (made < 0 && errno != EEXIST) {
            error = Quoted(part) + " cannot be made: " + std::strerror(errno) + ".";
            return false;
        }
        if (made < 0 && !Renumber(placement, error)) {
            return false;
        }
    }
    const std::string part = WorkingName(placement);
    if (placement.resume) {
        // What Place found must still be there, marked for this entry.
        const int existing = folder.OpenExisting(part, placement.folder);
        const bool ours = existing >= 0 && BeneathFolder::MarkOf(existing) == placement.mark;
        if (existing >= 0) {
            ::close(existing);
        }
        if (!ours) {
            error = Quoted(part) + " changed while it was being used.";
            return false;
        }
    } else if (placement.folder) {
        // A file is marked once it is open for its bytes.
        BeneathFolder::SetMark(made, placement.mark);
        ::close(made);
    } else {
        Keep(index, made);
    }
    placement.working = part;
    earlier[index] = placement.resume;
    if (placement.folder) {
        folderPaths[placement.name] = part;
        names[part].listed = !placement.resume;
    }
    return true;
}

PlacedEntries::FolderNames& PlacedEntries::NamesIn(const std::string& path) {
    FolderNames& found = names[path];
    if (!found.listed) {
        found.present = folder.Names(path).value_or(std::set<std::string>());
        found.listed = true;
    }
    return found;
}

// An entry inside a working folder: in a resumed folder, the name it holds
// spelt so; else the first name that can be made in its folder.
bool PlacedEntries::MakeInside(std::uint64_t index, std::string& error) {
    const ManifestEntry& entry = manifest.entries[index];
    const std::size_t slash = entry.path.rfind('/');
    const auto parent = folderPaths.find(entry.path.substr(0, slash));
    if (parent == folderPaths.end()) {
        error = Quoted(entry.path) + " is not inside a folder of the offer.";
        return false;
    }
    const std::string leaf = entry.path.substr(slash + 1);
    FolderNames& inParent = NamesIn(parent->second);
    for (int number = 0; number <= kMostNumbers; ++number) {
        const std::string name =
            Numbered(leaf, number, entry.folder, SafeRelativePath::kLongestPart);
        const std::string path = parent->second + '/' + name;
        if (inParent.taken.contains(name)) {
            continue;
        }
        const bool held = inParent.present.contains(name);
        int made = -1;
        bool placed = false;
        if (held) {
            // Unless it is not the kind of entry this is: then it is another's.
            const int existing = folder.OpenExisting(path, entry.folder);
            placed = existing >= 0;
            if (existing >= 0) {
                ::close(existing);
            }
        } else if (entry.folder) {
            placed = folder.MakeFolder(path);
            if (placed) {
                names[path].listed = true;
            }
        } else {
            made = folder.MakeFile(path);
            placed = made >= 0;
        }
        if (!placed && !held && errno != EEXIST) {
            error = Quoted(path) + " cannot be made: " + std::strerror(errno) + ".";
            return false;
        }
        if (!placed) {
            continue;
        }
        if (held) {
            // What is made now the file system itself keeps from being made twice.
            inParent.taken.insert(name);
        }
        if (name != leaf) {
            otherNames[index] = name;
        }
        earlier[index] = held;
        if (entry.folder) {
            folderPaths[entry.path] = path;
        } else if (made >= 0) {
            Keep(index, made);
        }
        return true;
    }
    error = "Every name for " + Quoted(entry.path) + " is taken in its folder.";
    return false;
}

void PlacedEntries::Keep(std::uint64_t index, int file) {
    if (keptFile >= 0) {
        ::close(keptFile);
    }
    keptIndex = index;
    keptFile = file;
}

int PlacedEntries::Open(std::uint64_t index) {
    if (keptFile >= 0 && keptIndex == index) {
        return std::exchange(keptFile, -1);
    }
    return folder.OpenFile(WorkingPath(index));
}

// Kept for few entries only, as an offer lists up to 100,000: a working
// path is the working path of its folder and its own name.
std::string PlacedEntries::WorkingPath(std::uint64_t index) const {
    const Placement& placement = placements[placementOf[index]];
    if (index == placement.entries.front()) {
        return placement.working;
    }
    const std::string& path = manifest.entries[index].path;
    const std::size_t slash = path.rfind('/');
    const auto other = otherNames.find(index);
    return folderPaths.at(path.substr(0, slash)) + '/' +
           (other != otherNames.end() ? other->second : path.substr(slash + 1));
}

void PlacedEntries::Forget(std::uint64_t index) const {
    folder.RemoveFile(WorkingPath(index));
}

bool PlacedEntries::Finish(Placement& placement, std::string& error) {
    const std::string part = placement.working;
    // The name Place chose; when that was taken meanwhile, the first free
    // one, never beside a working name of another's.
    bool renamed = folder.Rename(part, placement.finalName);
    int failure = renamed ? 0 : errno;
    for (int number = 0; failure == EEXIST && number <= kMostNumbers; ++number) {
        const std::string candidate = Numbered(placement.name, number, placement.folder);
        if (folder.Exists(candidate) || folder.Exists(candidate + std::string(kPart))) {
            continue;
        }
        renamed = folder.Rename(part, candidate);
        failure = renamed ? 0 : errno;
        if (renamed) {
            placement.finalName = candidate;
        }
    }
    if (failure != 0) {
        error = Quoted(part) +
                " arrived whole but cannot take its name: " + std::strerror(failure) + ".";
        return false;
    }
    for (const std::uint64_t index : placement.entries) {
        // FILES/2 marks only the top-level working name.
        const bool marked = !manifest.entries[index].folder && (version == 1 || !placement.folder);
        const int file =
            marked ? folder.OpenExisting(
                         placement.finalName + WorkingPath(index).substr(part.size()), false)
                   : -1;
        if (file >= 0) {
            BeneathFolder::ClearMark(file);
            ::close(file);
        }
    }
    if (placement.folder) {
        const int top = folder.OpenExisting(placement.finalName, true);
        if (top >= 0) {
            BeneathFolder::ClearMark(top);
            ::close(top);
        }
    }
    return true;
}

} // namespace kestrane
