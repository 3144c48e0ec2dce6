#pragma once

#include "files/FileServer.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace kestrane {

/// Lists what the person chose to send as an offer: each file, and each
/// folder with everything in it, under the chosen item's own name. Symbolic
/// links are never followed (a link could lead anywhere, and loop), and like
/// sockets, devices and pipes they are left out and named in `skipped`.
/// Files are listed with their sizes, not read: their digests are read once
/// the offer is out (FileServer::Add). Listing a large tree still takes a
/// while: run Build off the UI thread. The folder that holds each chosen item
/// is kept open in the offer, and its files are served later from beneath it
/// alone.
class OfferBuilder {
public:
    /// False, with a reason for the person, when a chosen item cannot be read
    /// or nothing can be sent.
    bool Build(const std::vector<std::string>& chosen, FileServer::Offer& offer,
               std::string& error);

    std::vector<std::string> skipped;
    /// Set from any thread: Build stops soon after, failing.
    std::atomic<bool> stop{false};

private:
    bool AddChosen(const std::vector<std::string>& chosen, FileServer::Offer& offer,
                   std::string& error);
    // `path` is both the entry's path and where it is beneath `folder`.
    bool AddFile(const std::string& path, const struct stat& status, FileServer::Offer& offer,
                 std::string& error);
    bool AddFolder(const std::string& path, FileServer::Offer& offer, std::string& error);
    bool AddItem(const std::string& path, FileServer::Offer& offer, std::string& error);

    // During Build: the folder that holds the chosen item being added, and its
    // path as chosen (empty, or ending in '/'), to name things for the person.
    std::shared_ptr<const OfferedFolder> folder;
    std::string folderPath;
};

} // namespace kestrane
