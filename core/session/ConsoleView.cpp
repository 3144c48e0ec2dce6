#include "core/session/ConsoleView.h"

#include "core/NetworkText.h"
#include "core/delivery/LineLook.h"

#include <QDateTime>
#include <QRegularExpression>
#include <utility>

namespace kestrane {

ConsoleView::ConsoleView(std::FILE* stream, std::function<void(int status)> endCopy)
    : out(stream), end(std::move(endCopy)) {}

void ConsoleView::WriteLine(const QString& line) {
    const QString stamped =
        QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') + TerminalText(line);
    std::fprintf(out, "%s\n", stamped.toUtf8().constData());
    std::fflush(out);
    ++linesWritten;
}

std::uint64_t ConsoleView::Log(const QString& text, Stamp) {
    const std::uint64_t first = linesWritten;
    // Each line of the log is a line here, whatever ended it.
    static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = text.split(lineEnd);
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    for (const QString& line : lines) {
        WriteLine(line);
    }
    return first;
}

void ConsoleView::SetMark(std::uint64_t, LineLook look, const QString& words) {
    if (look != LineLook::Pending) {
        WriteLine(QStringLiteral("(") + words + QStringLiteral(")"));
    }
}

void ConsoleView::LineQueued(const HistoryEntry&) {}

void ConsoleView::UnreadRestored(int) {}

void ConsoleView::OfferArrived() {}

void ConsoleView::NetworkStarted(const std::string& ownName) {
    WriteLine(
        QStringLiteral("*** Kestrane runs as %1, without a desktop ***").arg(NetworkName(ownName)));
}

void ConsoleView::ComeForward() {}

void ConsoleView::EndRequested() {
    end(1);
}

} // namespace kestrane
