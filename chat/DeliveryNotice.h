#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// The text of one receipts-and-presence datagram (type CHAT_DELIVERY), which
/// only Kestrane hosts send and read: "DELIVERY/1 VERB fields...", the fields
/// separated by single spaces.
///
///   PRESENT [DELIVERY/2] this host speaks DELIVERY/1 (after a hello, as a
///                        heartbeat, in answer to hellos and to PROBE), and
///                        DELIVERY/2 as well when the field is there
///   PROBE                asks a quiet host for a PRESENT by unicast
///   LINE id ONE|ALL line a line with a receipt asked for; ALL when it went to
///                        everybody and comes again by unicast. `line` is the
///                        rest of the text, exactly the bytes a CHAT_TEXT
///                        datagram would carry (CR LF included)
///   ALL id digest        follows the CHAT_TEXT broadcast of a line to everybody:
///                        asks for a receipt of the line whose LineDigest is `digest`
///   ACK id               the receipt: the line `id` was shown (or had been)
///
/// Fields after those a verb takes are ignored (room for later versions); an
/// unknown verb, a malformed id or digest, or another protocol is refused. A value.
///
/// Inside DELIVERY/2 transport datagrams the same verbs go without the
/// protocol word (ParseInner, ComposeInner), ALL's digest is the 64 lower-case
/// hex digits of SHA-256 of the line (InnerDigest), and two more verbs exist:
///
///   BYE                  the host is leaving
///   FILE notice          a file notice, the rest of the text, starting "FILES/3 "
///
/// Inner text holds no NUL and at most kSecureMaxPlaintext bytes.
struct DeliveryNotice {
    enum class Verb { Present, Probe, Line, All, Ack, Bye, File };

    /// Longest id: 1 to kMostIdLength characters of [0-9A-Za-z._-].
    static constexpr std::size_t kMostIdLength = 40;

    Verb verb = Verb::Present;
    std::string id;           // Line, All, Ack
    bool toEverybody = false; // Line: "ALL"
    bool secure = false;      // Present: the sender speaks DELIVERY/2 too
    std::string digest;       // All: LineDigest, or InnerDigest inside
    std::string line;         // Line
    std::string file;         // File: the FILES/3 notice as sent

    static DeliveryNotice Present(bool secure = false);
    static DeliveryNotice Probe();
    static DeliveryNotice Line(std::string id, bool toEverybody, std::string line);
    static DeliveryNotice All(std::string id, std::string_view line);
    static DeliveryNotice Ack(std::string id);
    /// Inner only: ALL with the line's InnerDigest, BYE and FILE.
    static DeliveryNotice InnerAll(std::string id, std::string_view line);
    static DeliveryNotice Bye();
    static DeliveryNotice File(std::string notice);

    /// Parses a received datagram's text; nothing for anything not DELIVERY/1.
    static std::optional<DeliveryNotice> Parse(std::string_view text);
    /// The datagram's text (of the DELIVERY/1 verbs).
    std::string Compose() const;
    /// Parses the plaintext of a DELIVERY/2 transport datagram.
    static std::optional<DeliveryNotice> ParseInner(std::string_view text);
    /// That plaintext.
    std::string ComposeInner() const;
};

/// The 16 lowercase hex digits of the 64-bit FNV-1a hash of `line`'s bytes: it
/// pairs a CHAT_TEXT broadcast with its ALL notice, and proves nothing.
std::string LineDigest(std::string_view line);
/// The 64 lowercase hex digits of SHA-256 of `line`'s bytes: the inner ALL's
/// digest, which a sender of other bytes cannot match.
std::string InnerDigest(std::string_view line);

/// Whether `id` is a well-formed line id.
bool IsDeliveryId(std::string_view id);

} // namespace kestrane
