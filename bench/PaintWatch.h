#pragma once

#include <QEvent>
#include <QObject>

namespace kestrane::bench {

// Notes that a widget painted: installed as its event filter.
class PaintWatch : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        painted = painted || event->type() == QEvent::Paint;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace kestrane::bench
