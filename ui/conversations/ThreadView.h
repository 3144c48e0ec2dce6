#pragma once

#include "core/history/HistoryRecord.h"
#include "ui/LogText.h"

#include <QDate>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace kestrane {

class LogControl;
class LogMarks;
class TextBox;

/// One conversation as a TextBox shows it: the lines of a thread, oldest
/// first, each with its time beside it, the day above the first line of each
/// day, a delivery mark beside each line sent and the trust of each line that
/// came, as the main window's log marks them; lines to everybody say so
/// in a host's thread. Lines and marks follow the records as they come and
/// change. Wraps long lines like the main window's log; a peer's text is
/// shown as plain text. Does not own the box. UI thread only.
class ThreadView {
public:
    explicit ThreadView(TextBox& box);
    ~ThreadView();
    ThreadView(const ThreadView&) = delete;
    ThreadView& operator=(const ThreadView&) = delete;

    /// Shows `peer`'s thread (empty: everybody's) made of `records`, oldest first.
    void Show(const QString& peer, const std::vector<HistoryRecord>& records);
    /// Appends `record` when it belongs to the thread shown.
    void Add(const HistoryRecord& record);
    /// A line of the thread got a new delivery state.
    void SetDelivery(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox);
    const QString& Peer() const { return peer; }
    /// How many records the thread shows.
    std::size_t Lines() const { return lineOf.size(); }
    const LogMarks& Marks() const { return *marks; }
    /// What the box shows, or shows within a frame.
    const LogText& Text() const { return text; }

private:
    void Append(const HistoryRecord& record);
    QString Words(const HistoryRecord& record) const;

    TextBox& box;
    LogText text;
    std::unique_ptr<LogMarks> marks;
    std::unique_ptr<LogControl> control;
    QString peer;
    QDate lastDay;                                // of the last line shown
    std::map<std::int64_t, std::uint64_t> lineOf; // record id to the log line it begins on
};

} // namespace kestrane
