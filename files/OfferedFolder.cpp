#include "files/OfferedFolder.h"

#include "files/OpenBeneath.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kestrane {

std::shared_ptr<const OfferedFolder> OfferedFolder::Open(const std::string& folder) {
    const int descriptor = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    return std::shared_ptr<const OfferedFolder>(new OfferedFolder(descriptor));
}

OfferedFolder::~OfferedFolder() {
    ::close(descriptor);
}

int OfferedFolder::OpenBeneath(const std::string& path, int flags) const {
    return kestrane::OpenBeneath(descriptor, path, flags);
}

int OfferedFolder::OpenForReading(const std::string& path) const {
    return OpenBeneath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

int OfferedFolder::OpenFolder(const std::string& path) const {
    return OpenBeneath(path, O_RDONLY | O_DIRECTORY);
}

bool OfferedFolder::Status(const std::string& path, struct stat& status) const {
    return ::fstatat(descriptor, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace kestrane
