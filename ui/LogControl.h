#pragma once

#include "ui/LogText.h"

#include <cstdint>

class QPlainTextEdit;

namespace kestrane {

/// Shows a LogText in a read-only text control, CR LF as line breaks, with the
/// newest line in view. Writing a text that extends what the control shows
/// appends only the new tail, so a line costs the same however long the log
/// is. Does not own the control. UI thread only.
class LogControl {
public:
    explicit LogControl(QPlainTextEdit& control);

    /// Makes the control show `log`.
    void Write(const LogText& log);
    /// Copies the control's text into `log` (CR LF line ends), unless the control
    /// still shows exactly what the last Write put there.
    void Read(LogText& log) const;

private:
    void Replace(const LogText& log);
    void AppendTail(const LogText& log);
    void Remember(const LogText& log);
    void ScrollToEnd();

    QPlainTextEdit& edit;
    qsizetype shownSize = -1; // characters of the log the control shows; -1: none yet
    std::uint64_t shownReplacements = 0;
    int shownRevision = -1; // the document's revision after the last Write
    bool shownEndsInCarriageReturn = false;
};

} // namespace kestrane
