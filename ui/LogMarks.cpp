#include "ui/LogMarks.h"

#include "ui/TextBox.h"
#include "ui/trust/TrustGlyph.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>

namespace kestrane {
namespace {

// Shapes in a unit square, so looks differ without colour.
QPainterPath GlyphPath(LineLook look) {
    QPainterPath path;
    switch (look) {
    case LineLook::Pending:
    case LineLook::Partly:
        path.addEllipse(QRectF(0.2, 0.2, 0.6, 0.6));
        break;
    case LineLook::Delivered:
        path.moveTo(0.15, 0.55);
        path.lineTo(0.4, 0.8);
        path.lineTo(0.85, 0.2);
        break;
    case LineLook::NotDelivered:
        path.moveTo(0.2, 0.2);
        path.lineTo(0.8, 0.8);
        path.moveTo(0.8, 0.2);
        path.lineTo(0.2, 0.8);
        break;
    case LineLook::NoReceipts:
        path.moveTo(0.2, 0.5);
        path.lineTo(0.8, 0.5);
        break;
    case LineLook::ToYou: // an envelope
        path.addRect(QRectF(0.15, 0.28, 0.7, 0.46));
        path.moveTo(0.15, 0.28);
        path.lineTo(0.5, 0.55);
        path.lineTo(0.85, 0.28);
        break;
    }
    return path;
}

QColor GlyphColor(LineLook look) {
    switch (look) {
    case LineLook::Delivered:
        return QColor(0x1b, 0x7f, 0x2a);
    case LineLook::NotDelivered:
        return QColor(0xc0, 0x1c, 0x28);
    case LineLook::Partly:
        return QColor(0xb8, 0x6e, 0x00);
    case LineLook::ToYou:
        return QColor(0x1c, 0x5f, 0xb8);
    case LineLook::Pending:
    case LineLook::NoReceipts:
        break;
    }
    return QColor(0x70, 0x70, 0x70);
}

} // namespace

LogMarks::LogMarks(const LogText& logText) : log(logText), replacements(logText.Replacements()) {}

void LogMarks::Show(TextBox& logView) {
    view = &logView;
    FollowDocument();
    connect(view->document(), &QTextDocument::contentsChanged, this, [this] { FollowDocument(); });
    connect(view, &QPlainTextEdit::cursorPositionChanged, this, [this] { Describe(); });
    for (QWidget* watched : {view->viewport(), &view->LeftStrip(), &view->RightStrip()}) {
        watched->installEventFilter(this);
    }
    FitStrips();
}

void LogMarks::ShowTimes(bool shown) {
    timesShown = shown;
    FitStrips();
}

void LogMarks::FitStrips() {
    if (view == nullptr) {
        return;
    }
    const QFontMetrics metrics(view->font());
    const int timeWidth =
        timesShown ? metrics.horizontalAdvance(QStringLiteral("00:00")) + 2 * kStripPadding : 0;
    view->SetStripWidths(timeWidth, (trustShown ? 2 : 1) * metrics.height() + 2 * kStripPadding);
}

void LogMarks::Set(std::uint64_t line, LineLook look, const QString& tip) {
    if (Mark* mark = Make(line)) {
        mark->look = look;
        mark->tip = tip;
        UpdateRowsOf(line);
        Describe();
    }
}

void LogMarks::SetTrust(std::uint64_t line, LineTrust trust, const QString& sender) {
    if (!TrustGlyph::Shown(trust) && Find(line) == nullptr) {
        return;
    }
    if (Mark* mark = Make(line)) {
        mark->trust = trust;
        mark->trustTip = TrustGlyph::Words(trust, sender);
        if (TrustGlyph::Shown(trust) && !trustShown) {
            trustShown = true;
            FitStrips();
        }
        UpdateRowsOf(line);
        Describe();
    }
}

LogMarks::Mark* LogMarks::Make(std::uint64_t line) {
    Prune();
    if (line < log.Trim().lineBreaks) {
        return nullptr;
    }
    Mark* mark = &marks[line];
    while (marks.size() > kMaxMarks) {
        const bool oldest = marks.begin()->first == line;
        marks.erase(marks.begin());
        if (oldest) {
            return nullptr;
        }
    }
    return mark;
}

void LogMarks::SetTime(std::uint64_t line, const QDateTime& when, bool sent) {
    Prune();
    times.insert_or_assign(line, Time{when, sent, {}});
    while (times.size() > kMaxTimes) {
        times.erase(times.begin());
    }
}

QString LogMarks::TimeOf(std::uint64_t line) const {
    if (log.Replacements() != replacements || line < log.Trim().lineBreaks) {
        return {};
    }
    const auto found = times.find(line);
    if (found == times.end()) {
        return {};
    }
    const QDateTime& when = found->second.when;
    const QString day = when.date() == QDate::currentDate()
                            ? QStringLiteral("today")
                            : QLocale().toString(when.date(), QLocale::LongFormat);
    return (found->second.sent ? QStringLiteral("Sent at %1, %2")
                               : QStringLiteral("Arrived at %1, %2"))
        .arg(when.toString(QStringLiteral("HH:mm:ss")), day);
}

void LogMarks::SetSender(std::uint64_t line, const std::string& sender) {
    if (const auto found = times.find(line); found != times.end()) {
        found->second.sender = sender;
    }
}

std::string LogMarks::SenderOf(std::uint64_t line) const {
    if (log.Replacements() != replacements || line < log.Trim().lineBreaks) {
        return {};
    }
    const auto found = times.find(line);
    return found != times.end() ? found->second.sender : std::string();
}

std::optional<std::uint64_t> LogMarks::LineAt(const QPoint& viewportPosition) const {
    if (view == nullptr) {
        return std::nullopt;
    }
    const QTextBlock block = view->cursorForPosition(viewportPosition).block();
    const QRect rows = RowsOf(block);
    if (viewportPosition.y() < rows.top() || viewportPosition.y() > rows.bottom()) {
        return std::nullopt;
    }
    return LineOf(block);
}

std::optional<LineLook> LogMarks::LookOf(std::uint64_t line) const {
    const Mark* mark = Find(line);
    return mark != nullptr ? mark->look : std::nullopt;
}

QString LogMarks::TipOf(std::uint64_t line) const {
    const Mark* mark = Find(line);
    return mark != nullptr ? mark->tip : QString();
}

LineTrust LogMarks::TrustOf(std::uint64_t line) const {
    const Mark* mark = Find(line);
    return mark != nullptr ? mark->trust : LineTrust::Plain;
}

QString LogMarks::WordsOf(std::uint64_t line) const {
    const Mark* mark = Find(line);
    if (mark == nullptr) {
        return {};
    }
    return mark->tip.isEmpty() || mark->trustTip.isEmpty()
               ? mark->tip + mark->trustTip
               : mark->tip + QLatin1Char('\n') + mark->trustTip;
}

QString LogMarks::ToolTipOf(std::uint64_t line) const {
    const QString time = TimeOf(line);
    const QString words = WordsOf(line);
    return time.isEmpty() || words.isEmpty() ? time + words : time + QLatin1Char('\n') + words;
}

// Screen readers follow the log by its caret, not by the pointer.
void LogMarks::Describe() {
    if (view == nullptr) {
        return;
    }
    if (view->accessibleDescription() != shownDescription) {
        ownDescription = view->accessibleDescription(); // set since by the window
    }
    const std::optional<std::uint64_t> line = LineOf(view->textCursor().block());
    const QString words = line ? WordsOf(*line) : QString();
    shownDescription = words.isEmpty()            ? ownDescription
                       : ownDescription.isEmpty() ? words
                                                  : ownDescription + QLatin1Char('\n') + words;
    if (shownDescription != view->accessibleDescription()) {
        view->setAccessibleDescription(shownDescription);
    }
}

const LogMarks::Mark* LogMarks::Find(std::uint64_t line) const {
    if (log.Replacements() != replacements || line < log.Trim().lineBreaks) {
        return nullptr;
    }
    const auto found = marks.find(line);
    return found != marks.end() ? &found->second : nullptr;
}

void LogMarks::Prune() {
    if (log.Replacements() != replacements) {
        marks.clear();
        times.clear();
        replacements = log.Replacements();
    }
    marks.erase(marks.begin(), marks.lower_bound(log.Trim().lineBreaks));
    times.erase(times.begin(), times.lower_bound(log.Trim().lineBreaks));
}

void LogMarks::FollowDocument() {
    if (view == nullptr) {
        return;
    }
    firstBlockLine =
        static_cast<std::int64_t>(log.NextLineNumber()) - (view->document()->blockCount() - 1);
    Prune();
}

std::optional<std::uint64_t> LogMarks::LineOf(const QTextBlock& block) const {
    if (!block.isValid() || (!block.next().isValid() && block.length() <= 1)) {
        return std::nullopt; // nothing yet after the last line end
    }
    const std::int64_t line = firstBlockLine + block.blockNumber();
    if (line < static_cast<std::int64_t>(log.Trim().lineBreaks)) {
        return std::nullopt; // the note on trimmed lines among them
    }
    return static_cast<std::uint64_t>(line);
}

QRect LogMarks::RowsOf(const QTextBlock& block) const {
    QTextCursor cursor(block);
    const QRect first = view->cursorRect(cursor);
    cursor.movePosition(QTextCursor::EndOfBlock);
    const QRect last = view->cursorRect(cursor);
    return QRect(QPoint(0, first.top()), QPoint(view->viewport()->width() - 1, last.bottom()));
}

// Only when the control shows the line, and only its rows: receipts for a
// burst of lines cost a repaint of each row on screen, not of the view.
void LogMarks::UpdateRowsOf(std::uint64_t line) const {
    if (view == nullptr) {
        return;
    }
    const std::int64_t number = static_cast<std::int64_t>(line) - firstBlockLine;
    if (number < 0 || number >= view->document()->blockCount()) {
        return;
    }
    const QTextBlock block = view->document()->findBlockByNumber(static_cast<int>(number));
    if (!view->cursorRect(QTextCursor(block)).isNull()) { // null: far from the view's rows
        const QRect rows = RowsOf(block);
        view->RightStrip().update(0, rows.top(), view->RightStrip().width(), rows.height());
    }
}

bool LogMarks::eventFilter(QObject* watched, QEvent* event) {
    if (view == nullptr) {
        return false;
    }
    if (event->type() == QEvent::FontChange && watched == view->viewport()) {
        FitStrips();
    }
    if (event->type() == QEvent::ToolTip) {
        return ShowTip(*static_cast<QWidget*>(watched), *static_cast<QHelpEvent*>(event));
    }
    if (event->type() != QEvent::Paint || watched == view->viewport()) {
        return false;
    }
    auto& strip = *static_cast<QWidget*>(watched);
    const QRect area = static_cast<QPaintEvent*>(event)->rect();
    QPainter painter(&strip);
    painter.fillRect(area, view->palette().base());
    ForRowsIn(area, [&](const QTextBlock& block, std::uint64_t line, int top) {
        if (&strip == &view->RightStrip()) {
            PaintMark(painter, block, line, top);
        } else {
            PaintTime(painter, line, top);
        }
    });
    return true;
}

void LogMarks::ForRowsIn(const QRect& area,
                         const std::function<void(const QTextBlock&, std::uint64_t, int)>& each) {
    QTextBlock block = view->cursorForPosition(QPoint(0, area.top())).block();
    // One position asked of the view, which walks from its top row to find it;
    // the rows below follow from the heights of the blocks.
    qreal top = view->cursorRect(QTextCursor(block)).top();
    const QAbstractTextDocumentLayout* layout = view->document()->documentLayout();
    for (; block.isValid() && top <= area.bottom(); block = block.next()) {
        const qreal height = layout->blockBoundingRect(block).height(); // lays the block out
        if (const std::optional<std::uint64_t> line = LineOf(block)) {
            each(block, *line, qRound(top));
        }
        top += height;
    }
}

// Beside the block's last row, where the line ends. `top` is its first row's.
void LogMarks::PaintMark(QPainter& painter, const QTextBlock& block, std::uint64_t line, int top) {
    const Mark* mark = Find(line);
    const QTextLayout* text = block.layout();
    if (mark == nullptr || text->lineCount() == 0) {
        return;
    }
    const QTextLine row = text->lineAt(text->lineCount() - 1);
    const int side = qRound(row.height());
    const int rowTop = top + qRound(row.y() - text->lineAt(0).y());
    // The look first, the trust beside it: each keeps its place down the strip.
    const int left = (view->RightStrip().width() - (trustShown ? 2 : 1) * side) / 2;
    if (mark->look) {
        painter.drawPixmap(QPoint(left, rowTop), Glyph(*mark->look, side));
    }
    if (TrustGlyph::Shown(mark->trust)) {
        painter.drawPixmap(QPoint(left + side, rowTop), Glyph(mark->trust, side));
    }
}

// Beside the block's first row, right-aligned.
void LogMarks::PaintTime(QPainter& painter, std::uint64_t line, int top) {
    const auto found = times.find(line);
    if (found == times.end() || log.Replacements() != replacements ||
        line < log.Trim().lineBreaks) {
        return;
    }
    const int height = QFontMetrics(view->font()).height();
    painter.setFont(view->font());
    painter.setPen(view->palette().color(QPalette::PlaceholderText));
    painter.drawText(QRect(0, top, view->LeftStrip().width() - kStripPadding, height),
                     Qt::AlignRight | Qt::AlignVCenter,
                     found->second.when.toString(QStringLiteral("HH:mm")));
}

// Drawn once a size: stroking the path on every row costs more than the row's text.
void LogMarks::FitGlyphs(int side) {
    const qreal ratio = view->viewport()->devicePixelRatioF();
    if (side != glyphSide || ratio != glyphRatio) {
        glyphs = {};
        trustGlyphs = {};
        glyphSide = side;
        glyphRatio = ratio;
    }
}

const QPixmap& LogMarks::Glyph(LineTrust trust, int side) {
    FitGlyphs(side);
    QPixmap& glyph = trustGlyphs.at(static_cast<std::size_t>(trust));
    if (glyph.isNull()) {
        glyph = TrustGlyph::Draw(trust, side, glyphRatio);
    }
    return glyph;
}

const QPixmap& LogMarks::Glyph(LineLook look, int side) {
    FitGlyphs(side);
    const qreal ratio = glyphRatio;
    QPixmap& glyph = glyphs.at(static_cast<std::size_t>(look));
    if (!glyph.isNull()) {
        return glyph;
    }
    glyph = QPixmap(QSize(side, side) * ratio);
    glyph.setDevicePixelRatio(ratio);
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side, side);
    const QColor color = GlyphColor(look);
    painter.setPen(QPen(color, 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(GlyphPath(look));
    if (look == LineLook::Partly) {
        painter.setBrush(color);
        painter.drawPie(QRectF(0.2, 0.2, 0.6, 0.6), 90 * 16, 180 * 16);
    }
    return glyph;
}

bool LogMarks::ShowTip(QWidget& watched, const QHelpEvent& help) const {
    // The strips' y coordinates are the viewport's.
    const QPoint position(&watched == view->viewport() ? help.pos().x() : 0, help.pos().y());
    const QTextBlock block = view->cursorForPosition(position).block();
    const std::optional<std::uint64_t> line = LineAt(position);
    const QString tip = line ? ToolTipOf(*line) : QString();
    if (tip.isEmpty()) {
        return false;
    }
    // Rich text made here from escaped plain text: names from the network are in it.
    const QRect rows = RowsOf(block);
    QToolTip::showText(help.globalPos(), Qt::convertFromPlainText(tip), &watched,
                       QRect(0, rows.top(), watched.width(), rows.height()));
    return true;
}

} // namespace kestrane
