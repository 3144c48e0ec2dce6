#pragma once

namespace kestrane::test {

/// How many file descriptors this process has open now.
int OpenDescriptorCount();

/// How many threads this process has now.
int ThreadCount();

} // namespace kestrane::test
