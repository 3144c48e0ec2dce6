#include "files/OpenBeneath.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrane {

int OpenBeneath(int folder, const std::string& path, int flags, unsigned mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long opened;
    do {
        opened = ::syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how);
    } while (opened < 0 && (errno == EINTR || errno == EAGAIN));
    return static_cast<int>(opened);
}

} // namespace kestrane
