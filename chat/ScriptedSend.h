#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrane {

/// A line that a script hands to the running copy of the same user through
/// the single-instance lock's socket (`kestrane --send`), and the copy's answer.
///
/// The call carries one request line and gets one reply line, bytes as given
/// (the text is UTF-8 as the person typed it):
///
///     request  "SEND" TAB to TAB text LF       to: a host name or a dotted IPv4
///                                              address, or "*" for everybody
///     reply    OUTCOME TAB message [TAB privacy] LF
///                                              OUTCOME: DELIVERED, NO-RECEIPTS,
///                                              NOT-DELIVERED or REFUSED; privacy:
///                                              how the line went, "verified"
///                                              (sealed to a key whose code the
///                                              person compared), "encrypted" or
///                                              "plain"
///
/// A request is at most kMostRequestBytes bytes, LF included; `to` is 1 to
/// kMostHostBytes bytes without TAB or control bytes; the text may be empty
/// and may hold TAB, never CR, LF or NUL. A reply is at most kMostReplyBytes
/// bytes; its message is one line, control bytes other than TAB made spaces.
/// A call that closes without sending a byte is a plain second start.
struct ScriptedSend {
    /// What became of the line. NoReceipts: sent to a host that cannot send
    /// receipts. Refused: the copy did not take the line (bad request, or it
    /// cannot send now).
    enum class Outcome { Delivered, NoReceipts, NotDelivered, Refused };
    enum class Privacy { Verified, Encrypted, Plain };

    static constexpr std::size_t kMostRequestBytes = 8192;
    static constexpr std::size_t kMostReplyBytes = 1024;
    static constexpr std::size_t kMostHostBytes = 255;

    std::string to; // empty when toEverybody
    bool toEverybody = false;
    std::string text;

    /// The request in `line` (its bytes up to and including the first LF), or
    /// nothing when it is not a well-formed request. Takes any bytes.
    static std::optional<ScriptedSend> ParseRequest(std::string_view line);
    /// The request line for this line, LF included. It parses back only when
    /// `to` and `text` are as described above (see IsWellFormed).
    std::string ComposeRequest() const;
    /// True when ComposeRequest makes a request that ParseRequest accepts.
    bool IsWellFormed() const;

    /// The reply line; `message` is cut to fit and made one line.
    static std::string ComposeReply(Outcome outcome, std::string_view message);
    /// The outcome and message of a reply line (LF included), or nothing when
    /// it is not a reply. Control bytes in the message become spaces.
    static std::optional<std::pair<Outcome, std::string>> ParseReply(std::string_view line);
    /// The word that names `outcome` in a reply ("NO-RECEIPTS").
    static std::string_view OutcomeName(Outcome outcome);
    /// The word that names `privacy` in a reply ("verified").
    static std::string_view PrivacyName(Privacy privacy);
    /// The privacy word that ends a reply's message, taken off it; nothing
    /// (and the message as it was) when there is none, as from older copies.
    static std::optional<Privacy> TakePrivacy(std::string& message);
    /// The exit status of `kestrane --send` for `outcome`: 0 delivered or sent
    /// without receipts, 1 not delivered, 2 refused.
    static int ExitStatus(Outcome outcome);
};

} // namespace kestrane
