#pragma once

#include <QPlainTextEdit>

namespace kestrane {

/// A multi-line edit of a dialog template. Beside its text it can keep a strip
/// on either side, where its owner paints what belongs to the lines (their
/// times, their marks): the text wraps short of the strips, and the strips
/// scroll with it. A strip's y coordinates are the viewport's. The strips are
/// children of the box. UI thread only.
class TextBox : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit TextBox(QWidget* parent = nullptr);

    /// Widths in pixels; 0 hides a strip.
    void SetStripWidths(int left, int right);
    QWidget& LeftStrip() const { return *left; }
    QWidget& RightStrip() const { return *right; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    void PlaceStrips();
    void FollowScroll(const QRect& rect, int dy);

    QWidget* left;
    QWidget* right;
    int leftWidth = 0;
    int rightWidth = 0;
};

} // namespace kestrane
