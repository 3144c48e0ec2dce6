#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kestrane {

// A DELIVERY/2 datagram (docs/security.md): byte 9, the sender's name
// right-aligned in 32 bytes (a label only), the ASCII word "DELIVERY/2 ", a
// kind byte, then a binary body whose size the kind fixes. Integers are
// little-endian. Ciphertext may hold NUL, so these datagrams never go through
// ComposeDatagram or ChatMessage, which cut at the first NUL. Pure functions,
// any thread.

inline constexpr std::string_view kSecureWord = "DELIVERY/2 ";
/// Byte 9, the name field and the word: where the kind byte is.
inline constexpr std::size_t kSecureKindOffset = 1 + 32 + kSecureWord.size();
inline constexpr std::size_t kSecureMaxDatagram = 4096;
/// The handshake payload (PeerHello) of R and C, before its tag.
inline constexpr std::size_t kSecureMaxHello = 1024;
/// Plaintext of one T, so that the datagram fits kSecureMaxDatagram.
inline constexpr std::size_t kSecureMaxPlaintext =
    kSecureMaxDatagram - kSecureKindOffset - 1 - 4 - 8 - 16;

enum class SecureKind : std::uint8_t {
    Initiation = 'I',   // Noise message 1
    Response = 'R',     // Noise message 2
    Confirmation = 'C', // Noise message 3
    Transport = 'T',    // NoiseTransport's datagram
    Bundle = 'B',       // one transport datagram for each of several receivers
};

/// The 4 random non-zero bytes that the receiver of a session's datagrams chose.
using SessionIndex = std::uint32_t;

/// A bundle holds 1 to kBundleMostEntries entries, each a receiver's index,
/// the length of its ciphertext (2 bytes), the counter and the ciphertext,
/// and nothing after the last.
inline constexpr std::size_t kBundleMostEntries = 109;
inline constexpr std::size_t kBundleLeastCiphertext = 16;
inline constexpr std::size_t kBundleMostCiphertext = 4000;
/// Plaintext of one bundle entry (its ciphertext ends in a 16-byte tag).
inline constexpr std::size_t kBundleMaxPlaintext = kBundleMostCiphertext - 16;

/// One receiver's transport datagram in a bundle.
struct BundleEntry {
    SessionIndex receiver = 0;
    std::vector<std::uint8_t> message{}; // counter and ciphertext, as in a T

    bool operator==(const BundleEntry&) const = default;
};

struct SecureDatagram {
    SecureKind kind = SecureKind::Initiation;
    SessionIndex receiver = 0; // R, C, T
    SessionIndex sender = 0;   // I, R
    /// What follows the indices: the Noise message (I, R, C), or counter and
    /// ciphertext (T).
    std::vector<std::uint8_t> message{};
    std::vector<BundleEntry> entries{}; // B
};

/// The datagram, whole; nothing unless every size is exact and the indices
/// it carries are non-zero.
std::optional<SecureDatagram> ParseSecureDatagram(std::span<const std::uint8_t> datagram);
/// The whole datagram under `name` (cut at a NUL and to its last 32 bytes so
/// the layout stays fixed); empty when the body would not parse.
std::vector<std::uint8_t> ComposeSecureDatagram(std::string_view name,
                                                const SecureDatagram& datagram);
/// `entries` in order in as few bundles under `name` as fit kSecureMaxDatagram;
/// nothing when one of them cannot go in a bundle.
std::vector<std::vector<std::uint8_t>> ComposeBundles(std::string_view name,
                                                      std::span<const BundleEntry> entries);
/// Whether `datagram` starts as a DELIVERY/2 datagram does (type 9 and the word).
bool LooksSecure(std::span<const std::uint8_t> datagram);

} // namespace kestrane
