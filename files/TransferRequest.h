#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// What a receiver asks the sender on a stream connection, one line ending
/// in LF. The first line of a connection is one of
///   LIST <token>                              the offer's manifest (FILES/1)
///   GET <token> <index> <offset> <digest>     one file's bytes from `offset`,
///                                             `digest` being the SHA-256 of
///                                             the `offset` bytes already held
///                                             (FILES/1)
///   FILES/2 <token>                           a session: the manifest without
///                                             digests, then any number of
///                                             GETs, each file followed by SHA
///   FILES/3                                   a private session: a Noise
///                                             handshake follows, then the
///                                             same session sealed, whose first
///                                             line is FILES/3 <token>
/// and in a session each further line is
///   GET <index> <offset> <digest>             as above, the token left out.
class TransferRequest {
public:
    enum class Kind { List, Get, Session, Private };

    /// A request line is never longer than this, LF included.
    static constexpr std::size_t kLongestLine = 256;

    /// One line without its LF; nothing when malformed.
    static std::optional<TransferRequest> Parse(std::string_view line);
    /// The line, LF included.
    std::string Compose() const;

    Kind kind = Kind::List;
    std::string token;        // empty for a GET in a session, and the clear FILES/3
    std::uint64_t index = 0;  // GET: the manifest entry, from 0
    std::uint64_t offset = 0; // GET: bytes the receiver holds already
    std::string heldDigest;   // GET: SHA-256 of those bytes
};

/// The sender's first line in answer, LF at its end:
///   OK <entries>     the manifest's lines follow (LIST)
///   FROM <start>     the file's bytes from `start` to its end follow (GET);
///                    `start` is 0 when the bytes held are not the file's
///   ERR <text>       refused, for the person; the connection then closes
/// and in a session, after a file's bytes:
///   SHA <digest>     the SHA-256 of the whole file as offered
class TransferReply {
public:
    enum class Kind { Ok, From, Error, Digest };

    static constexpr std::size_t kLongestLine = 1024;

    /// One line without its LF; nothing when malformed.
    static std::optional<TransferReply> Parse(std::string_view line);
    std::string Compose() const;

    Kind kind = Kind::Error;
    std::uint64_t count = 0; // OK: entries; FROM: start
    std::string text;        // ERR: the text; SHA: the digest
};

} // namespace kestrane
