#pragma once

#include "files/FileServer.h"

#include <atomic>
#include <string>
#include <vector>

namespace kestrane {

/// Lists what the person chose to send as an offer: each file, and each
/// folder with everything in it, under the chosen item's own name. Symbolic
/// links are never followed (a link could lead anywhere, and loop), and like
/// sockets, devices and pipes they are left out and named in `skipped`.
/// Every file is read once for its SHA-256, so Build may take a while: run it
/// off the UI thread.
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
    bool AddFile(const std::string& source, const std::string& path, FileServer::Offer& offer,
                 std::string& error);
    bool AddFolder(const std::string& source, const std::string& path, FileServer::Offer& offer,
                   std::string& error);
    bool AddItem(const std::string& source, const std::string& path, FileServer::Offer& offer,
                 std::string& error);
};

} // namespace kestrane
