#include "files/OfferBuilder.h"

#include "files/SafeRelativePath.h"
#include "files/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrane {
namespace {

std::string NameOf(const std::string& source) {
    std::string trimmed = source;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    return trimmed.substr(trimmed.rfind('/') + 1);
}

std::string CannotRead(const std::string& source) {
    const int reason = errno; // before anything that may change it
    return SafeRelativePath::Quoted(source) + " cannot be read: " + std::strerror(reason) + ".";
}

} // namespace

bool OfferBuilder::Build(const std::vector<std::string>& chosen, FileServer::Offer& offer,
                         std::string& error) {
    const bool built = AddChosen(chosen, offer, error);
    folder.reset(); // the folders stay open in the offer alone
    return built;
}

bool OfferBuilder::AddChosen(const std::vector<std::string>& chosen, FileServer::Offer& offer,
                             std::string& error) {
    if (!Sha256::Usable(error)) {
        return false;
    }
    for (const std::string& source : chosen) {
        const std::string name = NameOf(source);
        const bool taken =
            std::any_of(offer.manifest.entries.begin(), offer.manifest.entries.end(),
                        [&](const ManifestEntry& entry) { return entry.path == name; });
        if (taken) {
            error = "Two of the chosen items are called \"" + SafeRelativePath::Printable(name) +
                    "\"; send them one at a time.";
            return false;
        }
        folderPath = source.substr(0, source.find_last_not_of('/') + 1 - name.size());
        folder = OfferedFolder::Open(folderPath.empty() ? "." : folderPath);
        if (folder == nullptr) {
            error = CannotRead(source);
            return false;
        }
        if (!AddItem(name, offer, error)) {
            return false;
        }
    }
    if (offer.manifest.entries.empty()) {
        error = "There is nothing to send: links and special files are never sent.";
        return false;
    }
    if (auto problem = offer.manifest.Problem()) {
        error = "This cannot be offered: " + *problem + ".";
        return false;
    }
    return true;
}

bool OfferBuilder::AddItem(const std::string& path, FileServer::Offer& offer, std::string& error) {
    struct stat status {};
    if (!folder->Status(path, status)) {
        error = CannotRead(folderPath + path);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        return AddFolder(path, offer, error);
    }
    if (S_ISREG(status.st_mode)) {
        return AddFile(path, status, offer, error);
    }
    skipped.push_back(folderPath + path);
    return true;
}

bool OfferBuilder::AddFile(const std::string& path, const struct stat& status,
                           FileServer::Offer& offer, std::string& error) {
    if (stop) {
        error = "Cancelled.";
        return false;
    }
    // Its digest is read once the offer is out (OfferDigests), from this very file.
    offer.manifest.entries.push_back({false, static_cast<std::uint64_t>(status.st_size), {}, path});
    offer.sources.push_back({folder, path, FileStamp::Of(status)});
    return true;
}

bool OfferBuilder::AddFolder(const std::string& path, FileServer::Offer& offer,
                             std::string& error) {
    offer.manifest.entries.push_back({true, 0, {}, path});
    offer.sources.emplace_back();
    const int opened = folder->OpenFolder(path);
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opened >= 0 ? ::fdopendir(opened) : nullptr,
                                                ::closedir);
    if (listing == nullptr) {
        error = CannotRead(folderPath + path);
        if (opened >= 0) {
            ::close(opened);
        }
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(listing.get())) {
        const std::string name = item->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    // The same folder always makes the same offer.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!AddItem(path + '/' + name, offer, error)) {
            return false;
        }
    }
    return true;
}

} // namespace kestrane
