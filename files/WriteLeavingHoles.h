#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrane {

/// Writes `count` bytes at `position` of `file`, leaving every block of the
/// file (4 KiB, at the file's own block boundaries) that would hold only
/// zeros unwritten, so runs of zeros stay holes however the bytes were cut
/// into chunks. The caller sets the file's size. False when a write fails
/// (errno says why).
bool WriteLeavingHoles(int file, const char* bytes, std::size_t count, std::uint64_t position);

} // namespace kestrane
