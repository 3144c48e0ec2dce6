#pragma once

// Lan.h drops the [[nodiscard]] result of QTest::qWaitFor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-result"
#include "tests/support/Lan.h"
#pragma GCC diagnostic pop

namespace kestrane::test {

/// What `peer`, bound to `address`, got before a marker sent to it now.
inline std::string Received(const UdpPeer& peer, const char* address) {
    UdpPeer().SendTo(peer.Port(), "marker", address);
    std::string got, next;
    while ((next = peer.Next()) != "marker" && !next.empty()) {
        got += next;
    }
    return next.empty() ? "<no marker>" : got;
}

} // namespace kestrane::test
