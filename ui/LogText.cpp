#include "ui/LogText.h"

#include <QStringView>

namespace kestrane {
namespace {

const QString kTrimNote =
    QStringLiteral("*** Older lines were removed: the log keeps the last 10,000 ***\r\n");

} // namespace

LogText& LogText::operator+=(const QString& more) {
    text += more;
    lines += more.count(QLatin1Char('\n'));
    TrimFront();
    return *this;
}

LogText& LogText::operator=(const QString& replacement) {
    text = replacement;
    ++replacements;
    lines = text.count(QLatin1Char('\n'));
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
        cut = text.indexOf(QLatin1Char('\n'), cut) + 1;
    }
    const QStringView gone = QStringView(text).sliced(trimmed.note, cut - trimmed.note);
    trimmed.characters += static_cast<std::uint64_t>(gone.size());
    trimmed.lineBreaks += static_cast<std::uint64_t>(
        gone.count(QLatin1Char('\n')) + gone.count(QLatin1Char('\r')) - gone.count(u"\r\n"));
    text.replace(0, cut, kTrimNote);
    trimmed.note = kTrimNote.size();
    lines = kKeptLines;
}

} // namespace kestrane
