#include "ui/LogControl.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

namespace kestrane {
namespace {

// The control separates lines with "\n"; the log keeps CR LF. A lone CR or LF
// also breaks the line.
QString ToDisplay(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QString FromDisplay(QString text) {
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

} // namespace

LogControl::LogControl(QPlainTextEdit& control) : edit(control) {}

void LogControl::Write(const LogText& log) {
    const bool extends = shownSize >= 0 && log.Replacements() == shownReplacements &&
                         log.Size() >= shownSize && edit.document()->revision() == shownRevision;
    if (extends) {
        AppendTail(log);
    } else {
        Replace(log);
    }
    Remember(log);
    ScrollToEnd();
}

void LogControl::Read(LogText& log) const {
    if (shownSize >= 0 && edit.document()->revision() == shownRevision) {
        return;
    }
    log = FromDisplay(edit.toPlainText());
}

void LogControl::Replace(const LogText& log) {
    edit.setPlainText(ToDisplay(log.Text()));
}

void LogControl::AppendTail(const LogText& log) {
    if (log.Size() == shownSize) {
        return;
    }
    QString tail = log.Text().sliced(shownSize);
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
    shownRevision = edit.document()->revision();
    shownEndsInCarriageReturn = log.Text().endsWith(QLatin1Char('\r'));
}

void LogControl::ScrollToEnd() {
    QScrollBar* bar = edit.verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace kestrane
