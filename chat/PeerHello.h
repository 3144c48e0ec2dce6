#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrane {

/// The payload of the handshake's R and C: ASCII `HOST <name-word>[ FILES/3]`,
/// the name written as a word of docs/file-transfer.md (bytes below 0x21, 0x7F
/// and '%' as %XX). A parser ignores fields after the name other than
/// FILES/3. Pure, any thread.
struct PeerHello {
    std::string name; // the host's wire name, decoded; never empty
    bool files = false;

    std::string Compose() const;
    /// Nothing when it does not start with HOST and a well-formed, non-empty word.
    static std::optional<PeerHello> Parse(std::span<const std::uint8_t> payload);
};

} // namespace kestrane
