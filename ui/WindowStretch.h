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

    /// `banner`, while visible, takes the top of the grower's place at its
    /// own height; the grower keeps the rest. Call Relayout after showing or
    /// hiding it.
    void SetBanner(QWidget* banner);
    /// `footer`, while visible, takes the bottom of the grower's place, as
    /// the banner its top.
    void SetFooter(QWidget* footer);
    void Relayout();

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
    /// Puts the banner at the top of `growing` and the footer at its
    /// bottom; what is left for the grower.
    QRect PlaceEdges(QRect growing) const;
    /// The height `edge` takes of a place `width` wide, at most `most`.
    static int EdgeHeight(QWidget& edge, int width, int most);

    static constexpr int kBannerGap = 4;

    QDialog& owner;
    QSize base;
    std::vector<Placed> placed;
    QPointer<QWidget> banner;
    QPointer<QWidget> footer;
};

} // namespace kestrane
