#include "ui/LogMarks.h"

#include "ui/LogControl.h"
#include "ui/TextBox.h"

#include <QHelpEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QToolTip>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

// A log shown by a LogControl, marked; lines go in as the window sends them.
struct MarkedLog {
    enum class View { Now, Later };
    explicit MarkedLog(View marksSee = View::Now) {
        if (marksSee == View::Now) {
            marks.Show(view);
        }
        view.setReadOnly(true);
        view.resize(400, 200);
        view.show();
    }
    std::uint64_t Send(const QString& line) {
        const std::uint64_t number = log.NextLineNumber();
        log += line + "\r\n";
        control.Write(log);
        last = line;
        return number;
    }
    bool Shown() {
        return QTest::qWaitFor(
            [&] { return view.document()->lastBlock().previous().text() == last; });
    }
    // The line's block brought into view, its text selected.
    QTextCursor Find(const QString& line) {
        const QTextCursor found = view.document()->find(QRegularExpression("^" + line + "$"));
        view.setTextCursor(found);
        view.ensureCursorVisible();
        return found;
    }
    // What is drawn in a strip beside the line's last row (its first, for the times), as
    // the pixels that are not the background.
    QImage Ink(const QString& line, bool times = false) {
        QTextCursor found = Find(line);
        if (times) {
            found.setPosition(found.selectionStart());
        }
        const QRect row = view.cursorRect(found);
        QCoreApplication::processEvents(); // the repaint: it shows what is on screen
        const QWidget& strip = times ? view.LeftStrip() : view.RightStrip();
        const QImage shot =
            view.screen()->grabWindow(view.winId()).toImage().copy(strip.geometry());
        QImage ink(strip.width(), row.height(), QImage::Format_Grayscale8);
        const QRgb base = view.palette().base().color().rgb();
        for (int y = 0; y < ink.height(); ++y) {
            for (int x = 0; x < ink.width(); ++x) {
                ink.scanLine(y)[x] = shot.pixel(x, row.top() + y) != base ? 255 : 0;
            }
        }
        return ink;
    }

    TextBox view;
    QString last;
    LogText log;
    LogControl control{view};
    LogMarks marks{log};
};

bool Inked(const QImage& ink) {
    for (int y = 0; y < ink.height(); ++y) {
        for (int x = 0; x < ink.width(); ++x) {
            if (ink.scanLine(y)[x] != 0) {
                return true;
            }
        }
    }
    return false;
}

TEST(LogMarksTest, AMarkSetBeforeTheControlShowsItsLineIsDrawnInAShapeOfItsOwn) {
    MarkedLog marked;
    const std::uint64_t line = marked.Send("Sent to PC-7: hello");
    marked.Send("Sent to PC-7: again");
    marked.marks.Set(line, LineLook::Pending, "waiting");
    ASSERT_TRUE(marked.Shown());
    std::vector<QImage> shapes{marked.Ink("Sent to PC-7: again")};
    for (const LineLook look : {LineLook::Pending, LineLook::Delivered, LineLook::NotDelivered,
                                LineLook::NoReceipts, LineLook::Partly}) {
        marked.marks.Set(line, look, "tip");
        shapes.push_back(marked.Ink("Sent to PC-7: hello"));
        SCOPED_TRACE(shapes.size());
        EXPECT_EQ(std::ranges::count(shapes, shapes.back()), 1);
    }
}

TEST(LogMarksTest, LongLinesWrapClearOfTheMarksAndTimesShowBesideTheirLinesWhenAsked) {
    MarkedLog marked;
    marked.view.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    const QString longLine = "Sent to PC-7: " + QString("word ").repeated(60).trimmed();
    const std::uint64_t line = marked.Send(longLine);
    marked.Send("PC-7 : short");
    marked.marks.Set(line, LineLook::Delivered, "delivered");
    marked.marks.SetTime(line, QDateTime::currentDateTime(), true);
    ASSERT_TRUE(marked.Shown());
    const QTextBlock block = marked.view.document()->firstBlock();
    EXPECT_GT(block.layout()->lineCount(), 2);
    EXPECT_FALSE(marked.view.horizontalScrollBar()->isVisible());
    // No row of the text reaches the strip that holds the marks.
    for (int row = 0; row < block.layout()->lineCount(); ++row) {
        EXPECT_LE(block.layout()->lineAt(row).naturalTextWidth(), marked.view.viewport()->width());
    }
    EXPECT_FALSE(
        marked.view.RightStrip().geometry().intersects(marked.view.viewport()->geometry()));
    EXPECT_TRUE(Inked(marked.Ink(longLine)));
    EXPECT_FALSE(Inked(marked.Ink("PC-7 : short")));
    EXPECT_FALSE(marked.view.LeftStrip().isVisible());
    marked.marks.ShowTimes(true);
    ASSERT_TRUE(marked.view.LeftStrip().isVisible());
    EXPECT_TRUE(Inked(marked.Ink(longLine, true)));
    EXPECT_FALSE(Inked(marked.Ink("PC-7 : short", true)));
    marked.marks.ShowTimes(false);
    EXPECT_FALSE(marked.view.LeftStrip().isVisible());
}

TEST(LogMarksTest, AViewOnWrappedLinesStaysOnItsLineWhileTheLogTrimsItsOldest) {
    MarkedLog marked;
    const QString words = QString(" word").repeated(40);
    for (int next = 0; next < 10500; ++next) {
        marked.Send(QString("line %1").arg(next) + words);
    }
    ASSERT_TRUE(marked.Shown());
    QScrollBar* bar = marked.view.verticalScrollBar();
    bar->setValue(marked.Find("line 10400.*").block().firstLineNumber() + 1);
    for (int next = 10500; next < 11000; ++next) {
        marked.Send(QString("line %1").arg(next) + words);
    }
    ASSERT_TRUE(marked.Shown());
    const QTextBlock top = marked.view.cursorForPosition(QPoint(0, 0)).block();
    EXPECT_TRUE(top.text().startsWith("line 10400 ")) << top.text().left(20).toStdString();
    EXPECT_EQ(bar->value() - top.firstLineNumber(), 1);
}

// Each trust has a shape of its own beside the look, and its words in the
// tooltip and the log's description; the original chat's lines have none.
TEST(LogMarksTest, ALineThatCameShowsItsTrustBesideItsLookInWordsWithTheSendersPlainName) {
    MarkedLog marked;
    marked.view.setAccessibleDescription("Chat log");
    const std::uint64_t line = marked.Send("PC3 : hello");
    marked.Send("PC3 : again");
    ASSERT_TRUE(marked.Shown());
    marked.marks.Set(line, LineLook::ToYou, "to you alone");
    const QImage envelope = marked.Ink("PC3 : hello");
    marked.marks.SetTrust(line, LineTrust::Plain, "PC3");
    EXPECT_EQ(marked.marks.ToolTipOf(line), "to you alone");
    EXPECT_EQ(marked.Ink("PC3 : hello"), envelope);
    const std::pair<LineTrust, QString> cases[] = {
        {LineTrust::Verified, "Verified: the line came encrypted from <b>PC3's key, whose code you "
                              "compared"},
        {LineTrust::Private, "Encrypted from <b>PC3's known key (codes not compared)"},
        {LineTrust::NewKey, "From a key <b>PC3 has not used before: not confirmed. Decide in the "
                            "bar above the log"},
        {LineTrust::NotAuthenticated, "Not authenticated: could be from anyone on the network"},
        {LineTrust::Unknown, ""}};
    std::vector<QImage> shapes;
    for (const auto& [trust, words] : cases) {
        SCOPED_TRACE(static_cast<int>(trust));
        marked.marks.SetTrust(line, trust, "<b>PC3");
        const QString expected = words.isEmpty() ? "to you alone" : "to you alone\n" + words;
        EXPECT_EQ(marked.marks.ToolTipOf(line), expected);
        EXPECT_EQ(marked.view.accessibleDescription(), "Chat log\n" + expected);
        shapes.push_back(marked.Ink("PC3 : hello"));
        EXPECT_EQ(std::ranges::count(shapes, shapes.back()), 1);
        // The envelope keeps its place; the trust is drawn in the strip's right half.
        const QImage& ink = shapes.back();
        EXPECT_EQ(Inked(ink.copy(ink.width() / 2, 0, ink.width() / 2, ink.height())),
                  !words.isEmpty());
    }
    marked.Find("PC3 : again");
    EXPECT_EQ(marked.view.accessibleDescription(), "Chat log");
    marked.marks.SetTrust(line, LineTrust::Private, "<b>PC3");
    const QPoint point = marked.view.cursorRect(marked.Find("PC3 : hello")).center();
    QHelpEvent hover(QEvent::ToolTip, point, marked.view.viewport()->mapToGlobal(point));
    QCoreApplication::sendEvent(marked.view.viewport(), &hover);
    EXPECT_EQ(QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText(),
              "to you alone\nEncrypted from <b>PC3's known key (codes not compared)");
}

// The window is made when first shown: what was marked before is drawn on its lines then.
TEST(LogMarksTest, MarksSetBeforeAnyViewAreDrawnOnTheirLinesOnceAViewShowsTheLog) {
    MarkedLog marked(MarkedLog::View::Later);
    marked.log += "PC-7 : first\r\n";
    const std::uint64_t sent = marked.log.NextLineNumber();
    marked.log += "Sent to PC-7: early\r\n";
    marked.log += "PC-7 : answer\r\n";
    marked.marks.Set(sent, LineLook::NotDelivered, "lost");
    EXPECT_EQ(marked.marks.LineAt(QPoint(1, 1)), std::nullopt);
    marked.marks.Show(marked.view);
    marked.last = "PC-7 : answer";
    marked.control.Write(marked.log);
    ASSERT_TRUE(marked.Shown());
    EXPECT_TRUE(Inked(marked.Ink("Sent to PC-7: early")));
    EXPECT_FALSE(Inked(marked.Ink("PC-7 : first")));
    EXPECT_FALSE(Inked(marked.Ink("PC-7 : answer")));
    const QRect row = marked.view.cursorRect(marked.Find("Sent to PC-7: early"));
    EXPECT_EQ(marked.marks.LineAt(row.center()), sent);
}

TEST(LogMarksTest, MarksFollowTheirLinesThroughTrimsAndGoWithThemOrWithTheText) {
    MarkedLog marked;
    std::vector<std::uint64_t> numbers;
    for (int next = 0; next < 11000; ++next) {
        // A peer's line with what could start blocks of the control without ending a line.
        const QStringView hostile = next == 5000 ? u"\u2029\ufdd0\ufdd1" : u"";
        numbers.push_back(marked.Send(QString("line %1%2").arg(next).arg(hostile)));
        if (next == 500 || next == 1200) {
            marked.marks.Set(numbers.back(), LineLook::Delivered, QString("<b>%1</b> &").arg(next));
            marked.marks.SetTime(numbers.back(), QDateTime({2026, 12, 6}, {19, 3, 4}), true);
        }
        if (next == 1500) {
            ASSERT_TRUE(marked.Shown()); // from here the control removes what the log trims
        }
    }
    ASSERT_TRUE(marked.Shown());
    EXPECT_EQ(marked.log.Trim().lineBreaks, 1000u);
    EXPECT_FALSE(marked.marks.LookOf(numbers[500]));
    const QPoint point = marked.view.cursorRect(marked.Find("line 1200")).center();
    EXPECT_EQ(marked.marks.LineAt(point), numbers[1200]);
    QHelpEvent hover(QEvent::ToolTip, point, marked.view.viewport()->mapToGlobal(point));
    QCoreApplication::sendEvent(marked.view.viewport(), &hover);
    const QString tip = QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText();
    EXPECT_TRUE(tip.startsWith("Sent at 19:03:04, ") && tip.endsWith("2026\n<b>1200</b> &"))
        << tip.toStdString();
    EXPECT_EQ(marked.marks.TimeOf(numbers[500]), "");
    EXPECT_FALSE(marked.marks.LineAt(marked.view.cursorRect(marked.Find("\\*\\*\\*.*")).center()));
    // The newest 2,000 stay.
    for (std::uint64_t line = numbers[8999]; line < marked.log.NextLineNumber(); ++line) {
        marked.marks.Set(line, LineLook::Pending, "");
    }
    EXPECT_EQ(QString("%1 %2 %3")
                  .arg(marked.marks.LookOf(numbers[8999]).has_value())
                  .arg(marked.marks.LookOf(numbers[9000]).has_value())
                  .arg(marked.marks.LookOf(numbers[1200]).has_value())
                  .toStdString(),
              "0 1 0");
    // Marks leave the document alone: the control gives back nothing new.
    LogText copy = marked.log;
    marked.control.Read(copy);
    EXPECT_EQ(copy.Replacements(), marked.log.Replacements());
    marked.log = QString("line 1200\r\n"); // a replaced log keeps none
    EXPECT_FALSE(marked.marks.LookOf(numbers[9000]));
}

} // namespace
} // namespace kestrane::test
