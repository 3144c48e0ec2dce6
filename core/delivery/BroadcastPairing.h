#pragma once

#include "chat/ChatMessage.h"
#include "core/delivery/LineTrust.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kestrane {

/// Lines to everybody under a name whose key is known. Such a line comes in
/// the clear (the original program's hosts need it so), and anyone could have
/// sent it; its sender also sends it sealed in its session at once. The clear
/// line is held until its sealed copy comes, and then shown once with the
/// session's trust; one whose copy does not come within kWait is shown as not
/// authenticated. A clear line whose sealed copy was shown already is dropped.
/// At most kMostPerName lines of a name and kMostHeld in all wait: beyond
/// that the oldest is shown at once, not authenticated. Names match as in the
/// roster. UI thread only.
class BroadcastPairing : public QObject {
public:
    static constexpr auto kWait = std::chrono::milliseconds(500);
    static constexpr std::size_t kMostHeld = 256;
    static constexpr std::size_t kMostPerName = 16;
    /// How long a sealed line shown first drops its clear copy.
    static constexpr auto kSealedMemory = std::chrono::seconds(5);

    using Show =
        std::function<void(const ChatMessage& line, const std::string& address, LineTrust trust)>;
    explicit BroadcastPairing(Show show);

    /// A clear line to everybody under a keyed name, from `address`.
    void Hold(std::shared_ptr<const ChatMessage> line, std::string address);
    /// The sealed copy of a line to everybody (`text`, CR LF included) came
    /// on a session of `name` with `trust`: true when it showed a held line.
    bool Pair(const std::string& name, std::string_view text, LineTrust trust);
    /// A sealed line to everybody was shown before its clear copy came.
    void SealedShown(const std::string& name, std::string_view text);

private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        std::shared_ptr<const ChatMessage> line;
        std::string address;
        std::string name; // PeerNameKey of the sender
        Clock::time_point until;
    };
    struct Sealed {
        std::string name;
        std::string text;
        Clock::time_point until;
    };

    void Release(std::deque<Held>::iterator held, LineTrust trust);
    void Run();

    Show show;
    std::deque<Held> held;     // oldest first
    std::deque<Sealed> sealed; // oldest first, at most kMostHeld
    QTimer timer;
};

} // namespace kestrane
