#include "ui/LogText.h"

#include <QStringView>

namespace kestrane {
namespace {

const QString kTrimNote =
    QStringLiteral("*** Older lines were removed: the log keeps the last 10,000 ***\r\n");

// Lines end as the control shows them: in CR LF, a lone CR or a lone LF.
qsizetype LineBreaks(QStringView text) {
    return text.count(QLatin1Char('\n')) + text.count(QLatin1Char('\r')) - text.count(u"\r\n");
}

// Just past the first line end at or after `from`; the text has one there.
qsizetype AfterLineBreak(const QString& text, qsizetype from) {
    while (text[from] != QLatin1Char('\r') && text[from] != QLatin1Char('\n')) {
        ++from;
    }
    const bool pair = text[from] == QLatin1Char('\r') && from + 1 < text.size() &&
                      text[from + 1] == QLatin1Char('\n');
    return from + (pair ? 2 : 1);
}

} // namespace

LogText& LogText::operator+=(const QString& more) {
    // A CR LF split across two appends ends one line.
    const bool joined = text.endsWith(QLatin1Char('\r')) && more.startsWith(QLatin1Char('\n'));
    text += more;
    lines += LineBreaks(more) - (joined ? 1 : 0);
    TrimFront();
    return *this;
}

LogText& LogText::operator=(const QString& replacement) {
    text = replacement;
    ++replacements;
    lines = LineBreaks(text);
    trimmed = {};
    TrimFront();
    return *this;
}

// In batches, so a line costs the same however long the log has run, and the
// control mirrors a trim by removing blocks rather than by showing a new text.
void LogText::TrimFront() {
    if (lines < kKeptLines + kTrimBatch) {
        return;
    }
    qsizetype cut = trimmed.note;
    for (qsizetype removed = 0; removed < lines - kKeptLines; ++removed) {
        cut = AfterLineBreak(text, cut);
    }
    trimmed.characters += static_cast<std::uint64_t>(cut - trimmed.note);
    trimmed.lineBreaks += static_cast<std::uint64_t>(lines - kKeptLines);
    text.replace(0, cut, kTrimNote);
    trimmed.note = kTrimNote.size();
    lines = kKeptLines;
}

} // namespace kestrane
