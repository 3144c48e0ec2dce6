#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrane {

/// Writes a file's bytes in order from a position on, leaving runs of zeros
/// as holes, and starts the disk's write-back every few MiB so that it takes
/// the bytes while more come, not all at the end. One thread at a time; the
/// descriptor stays the caller's.
class FileSink {
public:
    /// Bytes written between two starts of their write-back.
    static constexpr std::uint64_t kWriteBackStep = 8 << 20;

    FileSink(int descriptor, std::uint64_t from) : file(descriptor), position(from), handed(from) {}
    /// False with errno when the bytes cannot be written.
    bool Write(const char* bytes, std::size_t count);
    /// Where the next bytes go: everything before is written.
    std::uint64_t Position() const { return position; }

private:
    int file;
    std::uint64_t position;
    std::uint64_t handed; // write-back started up to here
};

} // namespace kestrane
