#include "ui/conversations/ThreadView.h"

#include "core/NetworkText.h"
#include "core/delivery/LineLook.h"
#include "core/history/ThreadReader.h"
#include "ui/LogControl.h"
#include "ui/LogMarks.h"
#include "ui/TextBox.h"

#include <QDateTime>
#include <QLocale>
#include <optional>
#include <utility>

namespace kestrane {
namespace {

struct Mark {
    LineLook look;
    QString tip;
};

// The mark of a line sent, in the words of the History window.
std::optional<Mark> MarkOf(HistoryRecord::Delivery delivery, bool inOutbox, const QString& peer) {
    using Delivery = HistoryRecord::Delivery;
    switch (delivery) {
    case Delivery::None:
        return std::nullopt;
    case Delivery::Pending:
        return Mark{LineLook::Pending, QStringLiteral("Waiting for a receipt")};
    case Delivery::Delivered:
        return Mark{LineLook::Delivered, QStringLiteral("Delivered")};
    case Delivery::DeliveredLate:
        return Mark{LineLook::Delivered, QStringLiteral("Delivered late")};
    case Delivery::NotDelivered:
        return Mark{
            LineLook::NotDelivered,
            inOutbox ? QStringLiteral("Not delivered yet: it goes again when %1 is heard").arg(peer)
                     : QStringLiteral("Not delivered")};
    case Delivery::Partly:
        return Mark{LineLook::Partly, QStringLiteral("Partly delivered")};
    case Delivery::NoReceipts:
        return Mark{LineLook::NoReceipts, QStringLiteral("No receipts: it cannot be confirmed")};
    }
    return std::nullopt;
}

QString WithLineEnd(QString text) {
    if (!text.endsWith(QChar('\n')) && !text.endsWith(QChar('\r'))) {
        text += QStringLiteral("\r\n");
    }
    return text;
}

} // namespace

ThreadView::ThreadView(TextBox& textBox) : box(textBox), marks(std::make_unique<LogMarks>(text)) {
    box.setReadOnly(true);
    box.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    box.setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    control = std::make_unique<LogControl>(box);
    marks->Show(box);
    marks->ShowTimes(true);
}

ThreadView::~ThreadView() = default;

void ThreadView::Show(const QString& threadPeer, const std::vector<HistoryRecord>& records) {
    peer = threadPeer;
    lastDay = QDate();
    lineOf.clear();
    QString empty;
    text = empty;
    for (const HistoryRecord& record : records) {
        Append(record);
    }
    control->Write(text);
}

void ThreadView::Add(const HistoryRecord& record) {
    if (ThreadReader::InThread(peer, record) && !lineOf.contains(record.id)) {
        Append(record);
        control->Write(text);
    }
}

void ThreadView::SetDelivery(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox) {
    const auto found = lineOf.find(id);
    if (found == lineOf.end()) {
        return;
    }
    if (const auto mark = MarkOf(delivery, inOutbox, peer)) {
        marks->Set(found->second, mark->look, mark->tip);
    }
}

void ThreadView::Append(const HistoryRecord& record) {
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(record.atMs);
    if (when.date() != lastDay) {
        lastDay = when.date();
        text += QStringLiteral("- %1 -\r\n").arg(QLocale().toString(lastDay, QLocale::LongFormat));
    }
    const std::uint64_t line = text.NextLineNumber();
    lineOf[record.id] = line;
    text += Words(record);
    marks->SetTime(line, when, record.outgoing);
    if (record.outgoing) {
        if (const auto mark = MarkOf(record.delivery, record.inOutbox, peer)) {
            marks->Set(line, mark->look, mark->tip);
        }
    } else {
        marks->SetTrust(line, record.trust, OneLineText(record.peer));
    }
}

QString ThreadView::Words(const HistoryRecord& record) const {
    QString who = record.outgoing ? QStringLiteral("You") : OneLineText(record.peer);
    // In a host's thread a line to everybody says so; in everybody's, every line is.
    if (!peer.isEmpty() && record.toEverybody) {
        who += QStringLiteral(" to everybody");
    }
    if (record.kind == HistoryRecord::Kind::FileOffer) {
        return who + QStringLiteral(" offered files: ") + OneLineText(record.text) +
               QStringLiteral("\r\n");
    }
    return who + QStringLiteral(": ") + WithLineEnd(record.text);
}

} // namespace kestrane
