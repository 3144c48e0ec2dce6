#pragma once

#include <QString>
#include <cstdint>
#include <string>

namespace kestrane {

class HistoryEntry;
enum class LineLook;
enum class LineTrust : int;

/// What shows a running copy: the main window, or the standard output of a
/// copy without a desktop. The session calls it on the UI thread, never after
/// the session has ended.
class SessionView {
public:
    /// How a log line is stamped with its time.
    enum class Stamp { None, Received, Sent };

    virtual ~SessionView() = default;

    /// Appends `text` (its line ends included) to the log and returns the
    /// number of the line it begins on, which names it to SetMark.
    virtual std::uint64_t Log(const QString& text, Stamp stamp) = 0;
    /// The mark of a sent line logged at `logLine`, and its words.
    virtual void SetMark(std::uint64_t logLine, LineLook look, const QString& words) = 0;
    /// The trust of a line that came from `sender` (plain text), logged at
    /// `logLine`. A view that marks no lines ignores it.
    virtual void SetTrust(std::uint64_t logLine, LineTrust trust, const QString& sender) {
        (void)logLine, (void)trust, (void)sender;
    }
    /// Whether the person has the log, or the conversation that shows
    /// `entry`, in front of them: a line that comes then is seen at once.
    virtual bool PersonLooking(const HistoryEntry& entry) const = 0;
    /// A line from another host joined the unread queue.
    virtual void LineQueued(const HistoryEntry& entry) = 0;
    /// Lines left unread when the copy last ended joined the queue again.
    virtual void UnreadRestored(int lines) = 0;
    /// Another host offered files, which wait for the person.
    virtual void OfferArrived() = 0;
    /// The own name is known, the hello went out, the broadcast entry is listed.
    virtual void NetworkStarted(const std::string& ownName) = 0;
    /// Another copy of the program was started with no other request.
    virtual void ComeForward() = 0;
    /// The copy cannot run (it has no name): it ends, through whatever runs it.
    virtual void EndRequested() = 0;
    /// The keys known for the host `name` changed: a first or a different key
    /// came, or the person decided on one. A view that shows no keys ignores it.
    virtual void KeysChanged(const std::string& name) { (void)name; }
};

} // namespace kestrane
