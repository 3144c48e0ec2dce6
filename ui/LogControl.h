#pragma once

#include "ui/LogText.h"

#include <cstdint>

class QPlainTextEdit;

namespace kestrane {

/// Shows a LogText in a read-only text control, CR LF as line breaks. Writing a
/// text that extends what the control shows appends only the new tail, and
/// lines the log trimmed from its front leave the control as blocks, so a line
/// costs the same however long the log is. The view follows the newest line
/// only while it is at the end, so a user reading further up stays there, and
/// a selection survives. Does not own the control. UI thread only.
class LogControl {
public:
    explicit LogControl(QPlainTextEdit& control);

    /// Makes the control show `log`.
    void Write(const LogText& log);
    /// Copies the control's text into `log` (CR LF line ends), unless the control
    /// still shows exactly what the last Write put there.
    void Read(LogText& log) const;

private:
    bool Extends(const LogText& log) const;
    void Replace(const LogText& log);
    /// Removes what the log trimmed since the last Write; the line at the top
    /// of the view stays there unless it went too.
    void RemoveTrimmed(const LogText& log, bool keepView);
    void AppendTail(const LogText& log);
    void Remember(const LogText& log);
    void ScrollToEnd();

    QPlainTextEdit& edit;
    qsizetype shownSize = -1; // characters of the log the control shows; -1: none yet
    std::uint64_t shownReplacements = 0;
    LogText::Trimmed shownTrim;
    int shownRevision = -1; // the document's revision after the last Write
    bool shownEndsInCarriageReturn = false;
};

} // namespace kestrane
