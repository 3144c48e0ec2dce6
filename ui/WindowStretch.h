#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <vector>

class QDialog;
class QWidget;

namespace kestrane {

/// Lets a dialog laid out from a fixed template grow and be maximized: the
/// template's size is the least, `grower` takes the extra width and height,
/// and the other controls keep their order and their distance to the edges
/// they are beside. Below the grower, text fields widen with the window, the
/// buttons right of them move right, and the rest moves down. Owned by the
/// dialog (Qt parent). UI thread only.
class WindowStretch : public QObject {
public:
    WindowStretch(QDialog& dialog, QWidget& grower);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Move { Grow, Stay, Down, DownAndRight, DownAndWiden };
    struct Placed {
        QPointer<QWidget> control;
        QRect base;
        Move move;
    };

    void Place(QSize size);

    QSize base;
    std::vector<Placed> placed;
};

} // namespace kestrane
