#include "ui/LogControl.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <utility>

namespace kestrane {
namespace {

// The control separates lines with "\n"; the log keeps CR LF. A lone CR or LF
// also breaks the line. Nothing else may start a block of the control, or its
// blocks would no longer be the log's lines: the paragraph separator becomes a
// line separator, which breaks the row but not the block, and the two
// noncharacters that the control reads as frame bounds become U+FFFD.
QString ToDisplay(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QChar::ParagraphSeparator, QChar::LineSeparator);
    text.replace(QChar(0xFDD0), QChar::ReplacementCharacter);
    text.replace(QChar(0xFDD1), QChar::ReplacementCharacter);
    return text;
}

QString FromDisplay(QString text) {
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

// Where a text of `size` characters ends, counted over everything appended
// since the last replacement, trimmed or not (the note aside).
std::uint64_t EndOf(qsizetype size, const LogText::Trimmed& trim) {
    return trim.characters + static_cast<std::uint64_t>(size - trim.note);
}

} // namespace

LogControl::LogControl(QPlainTextEdit& control) : edit(control) {
    // An undo history would keep every line ever written, and with it the
    // document's whole past text.
    edit.setUndoRedoEnabled(false);
    frame.setSingleShot(true);
    frame.setTimerType(Qt::PreciseTimer);
    frame.callOnTimeout([this] { Flush(); });
}

void LogControl::Write(const LogText& log) {
    waiting = &log;
    if (frame.isActive()) {
        return;
    }
    const auto sinceShown = std::chrono::steady_clock::now() - lastShown;
    frame.start(sinceShown >= kFrame
                    ? std::chrono::milliseconds(0)
                    : std::chrono::ceil<std::chrono::milliseconds>(kFrame - sinceShown));
}

void LogControl::Flush() {
    frame.stop();
    if (const LogText* log = std::exchange(waiting, nullptr)) {
        Show(*log);
        lastShown = std::chrono::steady_clock::now();
    }
}

void LogControl::Show(const LogText& log) {
    const QScrollBar* bar = edit.verticalScrollBar();
    bool toEnd = bar->value() == bar->maximum();
    if (Extends(log)) {
        RemoveTrimmed(log, !toEnd);
        AppendTail(log);
    } else {
        Replace(log);
        toEnd = true;
    }
    Remember(log);
    if (toEnd) {
        ScrollToEnd();
    }
}

void LogControl::Read(LogText& log) const {
    if (waiting != nullptr || (shownSize >= 0 && edit.document()->revision() == shownRevision)) {
        return;
    }
    log = FromDisplay(edit.toPlainText());
}

bool LogControl::Extends(const LogText& log) const {
    if (shownSize < 0 || log.Replacements() != shownReplacements ||
        edit.document()->revision() != shownRevision) {
        return false;
    }
    // The log still holds the end of what the control shows: it trimmed no further.
    const std::uint64_t shownEnd = EndOf(shownSize, shownTrim);
    return log.Trim().characters <= shownEnd && shownEnd <= EndOf(log.Size(), log.Trim());
}

void LogControl::Replace(const LogText& log) {
    edit.setPlainText(ToDisplay(log.Text()));
}

void LogControl::RemoveTrimmed(const LogText& log, bool keepView) {
    const LogText::Trimmed& trim = log.Trim();
    if (trim.characters == shownTrim.characters) {
        return;
    }
    // The note is one line; it goes with the lines and comes back on top.
    const int blocks =
        (shownTrim.note > 0 ? 1 : 0) + static_cast<int>(trim.lineBreaks - shownTrim.lineBreaks);
    QScrollBar* bar = edit.verticalScrollBar();
    // The scroll bar counts rows, and a wrapped line takes several: the view's
    // top is kept as its block and the row within it.
    const QTextBlock top = edit.cursorForPosition(QPoint(0, 0)).block();
    const int topBlock = top.blockNumber();
    const int rowInBlock = std::max(0, bar->value() - top.firstLineNumber());
    // Selected by position: moving the cursor block by block lays each one out.
    QTextCursor cursor(edit.document());
    const QTextBlock first = edit.document()->findBlockByNumber(blocks);
    cursor.setPosition(first.isValid() ? first.position() : edit.document()->characterCount() - 1,
                       QTextCursor::KeepAnchor);
    cursor.insertText(ToDisplay(log.Text().first(trim.note)));
    if (keepView) {
        const int kept = topBlock - blocks + 1;
        const QTextBlock newTop = edit.document()->findBlockByNumber(std::max(0, kept));
        bar->setValue(newTop.firstLineNumber() + (kept > 0 ? rowInBlock : 0));
    }
}

void LogControl::AppendTail(const LogText& log) {
    const qsizetype shown = log.Trim().note + static_cast<qsizetype>(EndOf(shownSize, shownTrim) -
                                                                     log.Trim().characters);
    if (log.Size() == shown) {
        return;
    }
    QString tail = log.Text().sliced(shown);
    // A CR LF split across two writes: the CR already broke the line.
    if (shownEndsInCarriageReturn && tail.startsWith(QLatin1Char('\n'))) {
        tail.remove(0, 1);
    }
    QTextCursor cursor(edit.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(ToDisplay(tail));
}

void LogControl::Remember(const LogText& log) {
    shownSize = log.Size();
    shownReplacements = log.Replacements();
    shownTrim = log.Trim();
    shownRevision = edit.document()->revision();
    shownEndsInCarriageReturn = log.Text().endsWith(QLatin1Char('\r'));
}

void LogControl::ScrollToEnd() {
    QScrollBar* bar = edit.verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace kestrane
