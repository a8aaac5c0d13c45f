#pragma once

#include <QEasingCurve>
#include <QVariant>

class QVariantAnimation;

namespace tessaron::views {

// The window's movement: one application-wide switch, and the curves of the
// springs and eases the views animate with.
//
// The switch is Qt's own for general interface effects
// (QApplication::setEffectEnabled(Qt::UI_General)): the application turns
// it on at launch; tests and screenshots leave it off, so that every change
// lands at once and nothing depends on the wall clock. An animation only
// ever shows a value on its way: the state it shows is always the newest,
// and an animation started anew begins where the shown value is.
//
// Threads: the main thread only.
class Motion {
public:
    static bool enabled();
    static void setEnabled(bool enabled);

    // A spring as its response (the period of the undamped oscillation, in
    // seconds) and damping fraction (1: critically damped, no overshoot).
    struct Spring {
        double response;
        double dampingFraction;
    };
    // The time a spring takes to settle within 0.1 % of its target.
    static int milliseconds(const Spring& spring);
    // The spring's path from 0 to 1 over that time, ending exactly at 1.
    static QEasingCurve curve(const Spring& spring);

    // Runs `animation` from `from` to `to`: over `milliseconds` along
    // `curve`, or at once (finishing synchronously) while motion is off.
    static void run(QVariantAnimation& animation, const QVariant& from, const QVariant& to, int milliseconds,
                    const QEasingCurve& curve);
    static void run(QVariantAnimation& animation, const QVariant& from, const QVariant& to, const Spring& spring);

    // The platform's default animation: ease in and out over 0.35 s.
    static constexpr int defaultMilliseconds = 350;
};

}  // namespace tessaron::views
