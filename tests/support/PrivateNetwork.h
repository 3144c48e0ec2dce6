#pragma once

namespace kestrane::test {

/// Moves the calling process (and every process it starts later) into a new
/// network namespace of its own with only the loopback interface up, so that a
/// test that broadcasts by mistake reaches nobody. Needs root; elsewhere it
/// changes nothing and returns false. Call first thing in a test main, before
/// any thread starts.
bool EnterPrivateNetwork();

} // namespace kestrane::test
