#pragma once

#include "ui/LogText.h"

#include <QTimer>
#include <chrono>
#include <cstdint>

class QPlainTextEdit;

namespace kestrane {

/// Shows a LogText in a read-only text control, CR LF as line breaks. Writing a
/// text that extends what the control shows appends only the new tail, and
/// lines the log trimmed from its front leave the control as blocks, so a line
/// costs the same however long the log is. The view follows the newest line
/// only while it is at the end, so a user reading further up stays there, and
/// a selection survives. Writes are shown at most once a frame, so a burst of
/// lines costs one layout and one repaint, not one each; the first write after
/// a quiet frame is shown as soon as the event loop runs. Does not own the
/// control. UI thread only.
class LogControl {
public:
    /// The longest a write waits: with the repaint after it, a line is on
    /// screen within a 16 ms frame of its arrival.
    static constexpr std::chrono::milliseconds kFrame{10};

    explicit LogControl(QPlainTextEdit& control);

    /// Makes the control show `log` within kFrame. `log` must live until then.
    void Write(const LogText& log);
    /// Copies the control's text into `log` (CR LF line ends), unless the control
    /// still shows exactly what the last write put there. While a write waits
    /// the log is newer than the control, and stays as it is.
    void Read(LogText& log) const;

private:
    /// Shows what waits: the frame's end.
    void Flush();
    void Show(const LogText& log);
    bool Extends(const LogText& log) const;
    void Replace(const LogText& log);
    /// Removes what the log trimmed since the last Write; the line at the top
    /// of the view stays there unless it went too.
    void RemoveTrimmed(const LogText& log, bool keepView);
    void AppendTail(const LogText& log);
    void Remember(const LogText& log);
    void ScrollToEnd();

    QPlainTextEdit& edit;
    QTimer frame;
    const LogText* waiting = nullptr;
    std::chrono::steady_clock::time_point lastShown;
    qsizetype shownSize = -1; // characters of the log the control shows; -1: none yet
    std::uint64_t shownReplacements = 0;
    LogText::Trimmed shownTrim;
    int shownRevision = -1; // the document's revision after the last Write
    bool shownEndsInCarriageReturn = false;
};

} // namespace kestrane
