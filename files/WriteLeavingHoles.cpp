#include "files/WriteLeavingHoles.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace kestrane {
namespace {

bool AllZero(const char* bytes, std::size_t count) {
    return count > 0 && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0;
}

// Holes are made block by block, at the file's own block boundaries: a chunk
// that holds a few bytes of data among zeros writes only the blocks with data.
constexpr std::uint64_t kHoleBlock = 4096;

} // namespace

bool WriteLeavingHoles(int file, const char* bytes, std::size_t count, std::uint64_t position) {
    std::size_t done = 0;
    while (done < count) {
        // Up to the next block boundary of the file.
        const std::size_t block = static_cast<std::size_t>(
            std::min<std::uint64_t>(kHoleBlock - (position + done) % kHoleBlock, count - done));
        if (AllZero(bytes + done, block)) {
            done += block;
            continue;
        }
        // A run of blocks with data goes in one write.
        std::size_t run = block;
        while (done + run < count) {
            const std::size_t next = std::min<std::size_t>(kHoleBlock, count - done - run);
            if (AllZero(bytes + done + run, next)) {
                break;
            }
            run += next;
        }
        // A short write is taken up where it stopped: the next says why.
        for (const std::size_t end = done + run; done < end;) {
            const ssize_t wrote =
                ::pwrite(file, bytes + done, end - done, static_cast<off_t>(position + done));
            if (wrote <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(wrote);
        }
    }
    return true;
}

} // namespace kestrane
