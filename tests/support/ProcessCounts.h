#pragma once

namespace kestrane::test {

/// How many file descriptors this process has open now.
int OpenDescriptorCount();

} // namespace kestrane::test
