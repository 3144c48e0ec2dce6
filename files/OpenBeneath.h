#pragma once

#include <string>

namespace kestrane {

/// Opens `path` beneath the open folder `folder`, never leaving it and never
/// following a link on the way (openat2 with RESOLVE_BENEATH and
/// RESOLVE_NO_SYMLINKS); close-on-exec. `mode` counts only with O_CREAT.
/// The descriptor, or -1 with errno set.
int OpenBeneath(int folder, const std::string& path, int flags, unsigned mode = 0);

} // namespace kestrane
