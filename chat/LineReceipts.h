#pragma once

#include "chat/DeliveryNotice.h"
#include "chat/HelloAnswerBudget.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

/// The sending side of receipts: every line this copy sent to hosts that speak
/// DELIVERY/1, until each has acknowledged it or its deadline has passed.
///
/// A line to one host goes as LINE id ONE, first on the next Poll, then again
/// while no receipt came: after kFirstWait, each wait half as long again as the
/// one before, at most kLongestWait, until kDeadline after the first send. A
/// line to everybody has gone out by broadcast (CHAT_TEXT and ALL) before it is
/// tracked; each expected host that has not acknowledged it after kFirstWait
/// gets LINE id ALL by unicast, on the same schedule. Every send but the first
/// of a line to one host given by ToOne or Retry must be admitted by the budget
/// Poll is given (which the copy's probes share); one refused is skipped, as if
/// lost.
///
/// The outbox: a line to one host whose deadline passed stays (unless it was
/// given with keep false) and goes again, with a new deadline, whenever that
/// host is heard from; a receipt then makes it delivered late. Retry sends a
/// line that was not delivered again at once.
///
/// Each line's id is kIdLength lower-case hex digits, 64 bits from the kernel's
/// random source: a host that saw earlier ids cannot foretell the next one, so
/// it cannot acknowledge a line it never got. A receipt counts only from the
/// address the line goes to. At most kMostLines lines are tracked and at most
/// kMostInOutbox wait in the outbox: beyond either, the oldest finished line
/// (then the oldest in the outbox) is forgotten. Hosts are matched by name,
/// whole and ASCII case aside. UI thread only.
class LineReceipts {
public:
    using Clock = std::chrono::steady_clock;
    using LineKey = std::uint64_t;

    static constexpr std::chrono::milliseconds kFirstWait{250};
    static constexpr std::chrono::milliseconds kLongestWait{500};
    static constexpr std::chrono::seconds kDeadline{10};
    static constexpr std::size_t kMostLines = 1000;
    static constexpr std::size_t kMostInOutbox = 200;
    static constexpr std::size_t kIdLength = 16;
    static constexpr std::size_t kMostExpected = 128; // hosts a line to everybody waits for

    struct Host {
        std::string name;    // as on the wire
        std::string address; // dotted IPv4
    };
    /// A notice to send by unicast.
    struct Datagram {
        std::string address;
        DeliveryNotice notice;
        std::string name; // of the host at `address`
        /// Two sends of this attempt went to the host before with no receipt.
        bool unanswered = false;
    };
    enum class State { Pending, Delivered, NotDelivered };
    struct Status {
        State state = State::Pending;
        bool toEverybody = false;
        bool late = false;     // delivered after a deadline had passed
        bool inOutbox = false; // not delivered, and goes again when its host is heard
        int deadlinesPassed = 0;
        std::size_t expected = 0; // hosts asked for a receipt
        std::size_t delivered = 0;
        std::vector<std::string> missing; // hosts that have not acknowledged it, by name
    };
    /// What Poll found due.
    struct Due {
        std::vector<Datagram> datagrams;
        std::vector<LineKey> changed; // lines whose Status changed
    };

    /// Tracks a line (CR LF included) to one host; its LINE goes out on the next Poll.
    LineKey ToOne(const Host& host, std::string line, Clock::time_point now, bool keep = true);
    /// Tracks a line already broadcast (CHAT_TEXT, then All with IdOf) to the
    /// `expected` hosts, the first kMostExpected of them (list the most recently
    /// heard first). With none expected it is delivered at once.
    LineKey ToEverybody(std::vector<Host> expected, std::string line, Clock::time_point now);
    /// Tracks a line to one host that waited in the outbox of an earlier run,
    /// under the id it had then: it goes again on the next Poll, and stays in
    /// the outbox if this attempt fails too.
    LineKey Restore(const Host& host, std::string id, std::string line, Clock::time_point now);
    /// The id of a tracked line; empty once forgotten.
    std::string IdOf(LineKey key) const;

    /// A receipt for `id` from the host `name` at `address`: the line whose
    /// Status it changed, if any. It counts only from the address the line goes
    /// to that host (for a line to everybody, where that host was last heard).
    std::optional<LineKey> OnAck(std::string_view name, std::string_view address,
                                 std::string_view id, Clock::time_point now);
    /// Retransmissions due by `now` that `sends` admits, and lines whose deadline passed.
    Due Poll(Clock::time_point now, HelloAnswerBudget& sends);
    /// When Poll next has something to do; nothing while nothing is pending.
    std::optional<Clock::time_point> NextDue() const;
    /// `name` was heard from `address`: its lines in the outbox go again on
    /// the next Poll, to that address, with a new deadline.
    void HostHeard(std::string_view name, std::string_view address, Clock::time_point now);
    /// Sends a line that was not delivered again on the next Poll, with a new
    /// deadline; false when it is not (or no longer) tracked, or not undelivered.
    bool Retry(LineKey key, Clock::time_point now);
    /// Nothing once the line is forgotten.
    std::optional<Status> StatusOf(LineKey key) const;
    /// Lines waiting in the outbox.
    std::size_t InOutbox() const;

private:
    struct Target {
        Host host;
        bool acknowledged = false;
    };
    struct Tracked {
        std::string id;
        std::string line;
        bool toEverybody = false;
        bool keep = true;
        bool firstSend = false;      // sent by a person and not yet out: the first send is free
        std::vector<Target> targets; // the hosts asked, each name once
        State state = State::Pending;
        bool late = false;
        bool inOutbox = false;
        int deadlinesPassed = 0;
        // The current attempt: it begins with its first send (for a line to
        // everybody, the broadcast), and ends at its deadline.
        bool started = false;
        Clock::time_point nextSend;
        Clock::time_point deadline;
        Clock::duration wait{};
    };
    using Table = std::map<LineKey, Tracked>; // oldest first

    LineKey Track(Tracked tracked);
    void Arm(Tracked& tracked, Clock::time_point now);
    static void SendDue(Tracked& tracked, Clock::time_point now, HelloAnswerBudget& sends,
                        std::vector<Datagram>& out);
    void PassDeadline(Tracked& tracked);
    void ForgetBeyond(std::size_t mostLines, std::size_t mostInOutbox);
    void Forget(Table::iterator line);
    std::string NewId() const;

    LineKey nextKey = 1;
    Table lines;
    /// The id of every tracked line, this run's and those restored with an
    /// earlier run's id.
    std::map<std::string, LineKey, std::less<>> byId;
};

} // namespace kestrane
