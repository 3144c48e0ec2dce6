#pragma once

#include "files/FileManifest.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrane {

class BeneathFolder;

/// Where the entries of one offer are written beneath the folder a person
/// chose, and the names they take there. A top-level entry is written to
/// NAME.part (a folder to NAME.part/) and takes NAME at the end; a name that
/// is taken gets " (1)", " (2)", ..., so nothing is ever overwritten. A
/// NAME.part counts as taken too, unless Kestrane made it for the same entry
/// (BeneathFolder's mark says so): then it is resumed. A top-level name is
/// shortened so that NAME.part fits in 255 bytes.
///
/// Every file and folder is made exclusively, never opened in place of
/// another: where the file system takes two names for one (a case-insensitive
/// one, where "Data.csv" is "data.csv"), the later gets the next free name in
/// the same way. Inside a working folder that is resumed, a name it holds,
/// spelt as it is, holds the earlier work of the entry that reaches it first:
/// the entries come in the same order and make the same choices as before.
///
/// The final names are reserved in the process while the object lives, so
/// that two offers of one name never share a working name. One thread at a
/// time; does not own the folder.
class PlacedEntries {
public:
    /// One top-level entry: where it is written and what it is called at the end.
    struct Placement {
        std::string name; // as offered
        std::string finalName;
        int number = 0; // of finalName: " (number)"
        bool folder = false;
        std::string mark;                   // what Kestrane's mark on its working name holds
        bool resume = false;                // its working name holds earlier work for it
        std::vector<std::uint64_t> entries; // its own and those inside, by index
        std::size_t located = 0;            // of entries
        std::string working;                // its working name, once located
    };

    /// `key` names the folder in the reservations; `version`: the protocol
    /// the manifest came in, which decides the marks.
    PlacedEntries(const FileManifest& manifest, const BeneathFolder& folder, std::string key,
                  int version);
    ~PlacedEntries();
    PlacedEntries(const PlacedEntries&) = delete;
    PlacedEntries& operator=(const PlacedEntries&) = delete;

    /// Chooses every top-level entry's name; false, with `error`, when all are taken.
    bool Place(std::string& error);
    std::vector<Placement>& All() { return placements; }
    Placement& Of(std::uint64_t index) { return placements[placementOf[index]]; }
    std::vector<std::string> FinalNames() const;
    /// What the working files hold already, as far as their names tell before
    /// any is located.
    std::uint64_t HeldBytes() const;

    /// Makes entry `index`'s working file or folder, and those before it in
    /// its placement, unless they hold earlier work; false, with `error`,
    /// when that cannot be done.
    bool Locate(std::uint64_t index, std::string& error);
    /// Where entry `index` is written, beneath the folder, once located.
    std::string WorkingPath(std::uint64_t index) const;
    /// Whether entry `index`'s working file held earlier work when it was located.
    bool HeldBefore(std::uint64_t index) const { return earlier[index]; }
    /// Whether entry `index`'s working file holds earlier work, locating it
    /// to find out when that takes it. True when that fails: it is then
    /// looked at when reached.
    bool HoldsEarlierWork(std::uint64_t index);
    /// Entry `index`'s working file, located, for reading and writing; -1 with errno.
    int Open(std::uint64_t index);
    /// Removes entry `index`'s working file, which holds nothing worth keeping.
    void Forget(std::uint64_t index) const;

    /// Gives a placement whose bytes are on the disk its name; Kestrane's
    /// marks go then.
    bool Finish(Placement& placement, std::string& error);

    static std::string WorkingName(const Placement& placement);

private:
    /// The names in one folder inside a working folder.
    struct FolderNames {
        bool listed = false;           // `present` was read, or the folder is new
        std::set<std::string> present; // when it was first looked at
        std::set<std::string> taken;   // of those, by entries of this attempt
    };

    bool Usable(Placement& placement);
    /// Moves a placement whose working name turned out to be taken to the
    /// next free name.
    bool Renumber(Placement& placement, std::string& error);
    bool LocateNext(Placement& placement, std::string& error);
    bool MakeTop(Placement& placement, std::uint64_t index, std::string& error);
    bool MakeInside(std::uint64_t index, std::string& error);
    FolderNames& NamesIn(const std::string& path);
    /// Keeps `file`, just made for entry `index`, for Open.
    void Keep(std::uint64_t index, int file);

    const FileManifest& manifest;
    const BeneathFolder& folder;
    const std::string key;
    const int version;
    std::vector<Placement> placements;
    std::vector<std::size_t> placementOf;            // by entry
    std::vector<bool> earlier;                       // by entry, once located
    std::map<std::string, std::string> folderPaths;  // a folder entry's path -> its working path
    std::map<std::uint64_t, std::string> otherNames; // by entry inside a folder: a name not its own
    std::map<std::string, FolderNames> names;        // by working path
    std::set<std::pair<std::uint64_t, std::uint64_t>> resumed; // device and inode of each
    std::set<std::string> reserved;                            // final names
    std::uint64_t keptIndex = 0;
    int keptFile = -1;
};

} // namespace kestrane
