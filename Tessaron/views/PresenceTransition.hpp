#pragma once

#include <QEasingCurve>
#include <QObject>
#include <QPointer>

#include <functional>

#include "views/Motion.hpp"

class QGraphicsOpacityEffect;
class QVariantAnimation;
class QWidget;

namespace tessaron::views {

// How a floating layer comes and goes: it fades (and its owner may slide it
// by the same amount) instead of popping. Whether it is present is decided
// at once; only its drawing follows. While it leaves it takes no clicks, and
// once gone it is hidden. A change during a transition turns it round from
// where it is drawn.
//
// Threads: the main thread only.
class PresenceTransition : public QObject {
    Q_OBJECT
public:
    // One timing for both ways.
    PresenceTransition(QWidget& layer, int milliseconds, QEasingCurve curve);
    PresenceTransition(QWidget& layer, const Motion::Spring& spring);
    // Separate timings for coming and going.
    PresenceTransition(QWidget& layer, int inMilliseconds, QEasingCurve inCurve, int outMilliseconds,
                       QEasingCurve outCurve);

    void setPresent(bool present);
    bool isPresent() const { return present_; }
    // As drawn: 0 gone, 1 fully there (a spring may pass 1 for a moment).
    double presence() const { return presence_; }
    QVariantAnimation& animation() const { return *animation_; }

    // Called at each drawn step, for an owner that slides the layer by the
    // presence.
    std::function<void(double presence)> onPresenceChanged;

private:
    void apply(double presence);

    QPointer<QWidget> layer_;
    int inMilliseconds_;
    QEasingCurve inCurve_;
    int outMilliseconds_;
    QEasingCurve outCurve_;
    bool present_;
    double presence_;
    QVariantAnimation* animation_;
};

}  // namespace tessaron::views
