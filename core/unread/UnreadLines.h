#pragma once

#include <QString>
#include <cstdint>
#include <functional>

namespace kestrane {

class HistoryEntry;
class MessageQueue;

/// Which queued lines the person has not seen: the one rule that every path
/// follows. A line is unread from the moment it comes, or comes back from the
/// last run, until it is on show before the person: in the main window's log
/// while that window is shown, active and not minimized, in the message
/// dialog, or in its sender's conversation while that window is shown, active
/// and not minimized. Leaving a dialog, hiding the window or answering another line reads
/// nothing. Everything that tells of unread lines (the blink, the tip, the
/// title, the notifications, the history, the next start) asks here. Does not
/// own the queue. UI thread only.
class UnreadLines {
public:
    struct Hooks {
        /// The line whose history record is `historyId` was seen, or left the
        /// queue unseen; 0 when it has no record.
        std::function<void(std::int64_t historyId)> read = [](std::int64_t) {};
    };

    UnreadLines(MessageQueue& queue, Hooks hooks);
    UnreadLines(const UnreadLines&) = delete;
    UnreadLines& operator=(const UnreadLines&) = delete;

    /// Calls `call` whenever what is unread changed.
    void FollowChanges(std::function<void()> call) { changed = std::move(call); }

    /// Queues `entry`, a line that just came: seen at once when `looking` (the
    /// log shows it before the person). True when the full queue dropped an entry.
    bool Arrived(HistoryEntry entry, bool looking);
    /// Queues a line left unread when the copy last ended: it was never in this
    /// run's log, so only the message dialog can show it.
    bool Restored(HistoryEntry entry);
    /// The person looks at the log: every queued line it shows is seen.
    void LogSeen();
    /// The person looks at `peer`'s conversation (empty: everybody's): every
    /// queued line it shows is seen.
    void ThreadSeen(const QString& peer);
    /// The message dialog shows the queue's entry at `index`.
    void Shown(int index);
    /// An entry left the queue: dealt with, or dropped from a full queue to
    /// make room, which Arrived and Restored tell as a change.
    void Left(const HistoryEntry& entry);

    int Count() const;
    int CountFrom(const QString& sender) const;
    /// Unseen lines in `peer`'s conversation (empty: everybody's).
    int CountInThread(const QString& peer) const;
    /// Whether `entry` shows in `peer`'s conversation (empty: everybody's).
    static bool InThread(const QString& peer, const HistoryEntry& entry);
    /// The index of the newest unseen entry, or -1.
    int Newest() const;
    /// The sender of the newest unseen entry; empty when none is unseen.
    QString NewestSender() const;

private:
    bool Queue(HistoryEntry entry);
    void See(HistoryEntry& entry);
    void Changed() const;

    MessageQueue& queue;
    Hooks hooks;
    std::function<void()> changed;
};

} // namespace kestrane
