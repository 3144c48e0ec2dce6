#include "files/FileSink.h"

#include "files/WriteLeavingHoles.h"

#include <cerrno>
#include <fcntl.h>

namespace kestrane {

bool FileSink::Write(const char* bytes, std::size_t count) {
    errno = 0;
    if (!WriteLeavingHoles(file, bytes, count, position)) {
        // A short write sets no errno.
        errno = errno != 0 ? errno : EIO;
        return false;
    }
    position += count;
    if (position - handed >= kWriteBackStep) {
        ::sync_file_range(file, static_cast<off_t>(handed), static_cast<off_t>(position - handed),
                          SYNC_FILE_RANGE_WRITE);
        handed = position;
    }
    return true;
}

} // namespace kestrane
