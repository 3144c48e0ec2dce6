#pragma once

#include "chat/DeliveryNotice.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

namespace kestrane {

/// The receiving side of receipts: which lines with an id this copy has shown,
/// so that every copy of a line that arrives again (a retransmission whose
/// receipt was lost, a line to everybody that came by broadcast and again by
/// unicast) is acknowledged but shown once only.
///
/// A line to everybody comes as a plain CHAT_TEXT broadcast followed by an ALL
/// notice carrying its digest. Plain lines are remembered for a while by sender
/// and digest; an ALL notice, or a LINE ... ALL retransmission, that finds an
/// unclaimed plain line of the same sender and digest claims it (one notice
/// claims one plain line) instead of showing the line again.
///
/// Both tables are bounded and drop their oldest entries first. Senders are
/// matched by the exact name bytes of the datagram. UI thread only.
class ShownLines {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMostIds = 4096;
    static constexpr std::size_t kMostPlainLines = 256;
    static constexpr std::chrono::seconds kPlainLineLife{30};

    enum class Verdict {
        Show,    // not shown before: show it, then acknowledge it
        AckOnly, // shown before (or claimed a plain line): acknowledge, show nothing
        Wait     // an ALL notice whose plain line did not come: nothing yet
    };

    /// A plain CHAT_TEXT line from `sender` was shown.
    void NotePlainLine(std::string_view sender, std::string_view line, Clock::time_point now);
    /// A LINE or ALL notice from `sender`. Show and AckOnly record the id as shown.
    Verdict Take(std::string_view sender, const DeliveryNotice& notice, Clock::time_point now);

private:
    struct PlainLine {
        std::string sender;
        std::string digest;
        Clock::time_point shown;
        bool claimed = false;
    };
    bool ClaimPlainLine(std::string_view sender, std::string_view digest, Clock::time_point now);
    bool Seen(std::string_view sender, std::string_view id) const;
    void Remember(std::string_view sender, std::string_view id);

    std::deque<std::string> ids;           // id and sender, oldest first
    std::unordered_set<std::string> idSet; // the same keys, to look up
    std::deque<PlainLine> plainLines;      // oldest first
};

} // namespace kestrane
