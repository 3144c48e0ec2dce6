#pragma once

#include "core/delivery/LineLook.h"
#include "core/delivery/LineTrust.h"
#include "ui/LogText.h"

#include <QDateTime>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

class QHelpEvent;
class QPainter;
class QPoint;
class QRect;
class QTextBlock;

namespace kestrane {

class TextBox;

/// Marks lines of the log that a LogControl shows in `view`: a small glyph in
/// the strip right of the text, beside the line's last row, one shape per look
/// (a hollow circle while pending, a tick when delivered, a cross when not, a
/// dash when the host cannot send receipts, a half-filled circle when only
/// some hosts had it, an envelope on a line that came to this host alone),
/// beside it the TrustGlyph of a line that came, and a tooltip in words over
/// the line; and, when asked, the time each line came or went in the strip
/// left of it. The log's accessible description tells the marks of the line
/// the caret is on, after the log's own description. Marks never
/// touch the document, so the log's text, and what LogControl::Read takes back from the control,
/// stay as they are. A line is named by the LogText::NextLineNumber() taken just before it was
/// appended; a mark set before the control shows its line is drawn once it does. Marks of lines the
/// log trimmed go, a replaced log drops them all, and at most kMaxMarks are kept, the oldest lines'
/// going first. Marks and times are kept before any view shows them, so the window can be made when
/// first shown. Painting costs the lines on screen, not the marks. Does not own the view or the
/// log; both outlive it. UI thread only.
class LogMarks : public QObject {
public:
    static constexpr std::size_t kMaxMarks = 2000;
    static constexpr std::size_t kMaxTimes = 10000;

    explicit LogMarks(const LogText& log);

    /// Draws the marks in `view`, which shows the log from now on.
    void Show(TextBox& view);
    /// Shows the lines' times beside them, or not.
    void ShowTimes(bool shown);

    /// Marks `line`, or changes its mark. `tip` is plain text.
    void Set(std::uint64_t line, LineLook look, const QString& tip);
    /// Marks `line`, which came from `sender` (plain text), with its trust.
    void SetTrust(std::uint64_t line, LineTrust trust, const QString& sender);
    /// Notes when `line` came in (or went, when `sent`), for its tooltip; the
    /// newest kMaxTimes lines keep theirs.
    void SetTime(std::uint64_t line, const QDateTime& when, bool sent);
    /// Empty when the line has no time.
    QString TimeOf(std::uint64_t line) const;
    /// Notes that `line`, stamped with its time already, came from `sender`.
    void SetSender(std::uint64_t line, const std::string& sender);
    /// Empty unless the line came from another host.
    std::string SenderOf(std::uint64_t line) const;
    /// The log line the control shows at a point of its viewport, if any.
    std::optional<std::uint64_t> LineAt(const QPoint& viewportPosition) const;
    std::optional<LineLook> LookOf(std::uint64_t line) const;
    /// Empty when the line has no mark.
    QString TipOf(std::uint64_t line) const;
    /// Plain when the line has no trust mark.
    LineTrust TrustOf(std::uint64_t line) const;
    /// What hovering over the line shows, in plain text: its time and its marks' words.
    QString ToolTipOf(std::uint64_t line) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Mark {
        std::optional<LineLook> look;
        QString tip;
        LineTrust trust = LineTrust::Plain;
        QString trustTip;
    };

    /// The mark of `line` unless the log has since dropped the line.
    const Mark* Find(std::uint64_t line) const;
    /// The mark of `line`, made when it has none; null when the log dropped the line.
    Mark* Make(std::uint64_t line);
    /// The marks' words of `line`, one a row.
    QString WordsOf(std::uint64_t line) const;
    /// Sets the log's accessible description for the caret's line.
    void Describe();
    void Prune();
    /// Runs after every change of the document: LogControl shows the whole log
    /// as it is then, which ties the control's blocks to line numbers.
    void FollowDocument();
    std::optional<std::uint64_t> LineOf(const QTextBlock& block) const;
    /// The rows of `block` in viewport coordinates.
    QRect RowsOf(const QTextBlock& block) const;
    void UpdateRowsOf(std::uint64_t line) const;
    /// Sizes the strips for the view's font.
    void FitStrips();
    /// Calls `each` with every line that has rows in `area` (viewport
    /// coordinates), and the top of its first row.
    void ForRowsIn(const QRect& area,
                   const std::function<void(const QTextBlock&, std::uint64_t, int)>& each);
    void PaintMark(QPainter& painter, const QTextBlock& block, std::uint64_t line, int top);
    void PaintTime(QPainter& painter, std::uint64_t line, int top);
    const QPixmap& Glyph(LineLook look, int side);
    const QPixmap& Glyph(LineTrust trust, int side);
    /// Drops the glyphs drawn unless they are `side` pixels at the view's ratio.
    void FitGlyphs(int side);
    bool ShowTip(QWidget& watched, const QHelpEvent& help) const;

    static constexpr int kStripPadding = 3;
    TextBox* view = nullptr; // none until the window is first shown
    const LogText& log;
    std::map<std::uint64_t, Mark> marks; // by line number
    struct Time {
        QDateTime when;
        bool sent = false;
        std::string sender; // of a line that came
    };
    std::map<std::uint64_t, Time> times; // by line number
    std::uint64_t replacements = 0;      // the log's, when the marks were last pruned
    std::int64_t firstBlockLine = 0;     // the line number of the control's first block
    std::array<QPixmap, 6> glyphs;       // by look, glyphSide pixels square at glyphRatio
    std::array<QPixmap, 6> trustGlyphs;  // by trust, the same
    int glyphSide = 0;
    qreal glyphRatio = 0;
    bool timesShown = false;
    bool trustShown = false;  // a line has a trust mark: the strip holds two glyphs from then
    QString ownDescription;   // the log's accessible description, without the marks'
    QString shownDescription; // what Describe set last
};

} // namespace kestrane
