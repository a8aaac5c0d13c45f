#include "views/Motion.hpp"

#include <QApplication>
#include <QVariantAnimation>

#include <cmath>
#include <numbers>

namespace tessaron::views {
namespace {

// The decay a spring has reached when it has settled: within 0.1 %, so
// that what is left at the end is small beside any overshoot.
const double settled = std::log(1000.0);
// The same for a critically damped spring: e^(-x)(1 + x) = 0.1 %.
constexpr double criticallySettled = 9.23341;

// A damped spring's displacement towards 1 at normalised time t (0 … 1 of
// its settling time): exp(-a t) is the decay of the envelope, b the
// oscillation's angular frequency over the same time. Critically damped
// springs (b = 0) take (1 + a t) instead of the oscillation.
double springAt(double t, double dampingFraction) {
    if (dampingFraction >= 1) {
        constexpr double a = criticallySettled;
        return 1 - std::exp(-a * t) * (1 + a * t);
    }
    const double a = settled;
    const double b = a * std::sqrt(1 - dampingFraction * dampingFraction) / dampingFraction;
    return 1 - std::exp(-a * t) * (std::cos(b * t) + (a / b) * std::sin(b * t));
}

// The curve ends exactly at 1: the 0.1 % still missing at the end is spread
// over the whole way, so that nothing jumps.
template <int dampingPermille>
qreal springEasing(qreal progress) {
    constexpr double damping = dampingPermille / 1000.0;
    if (progress >= 1) return 1;
    return springAt(progress, damping) + progress * (1 - springAt(1, damping));
}

QEasingCurve::EasingFunction springFunction(double dampingFraction) {
    // The few dampings the views use; a custom easing is a plain function.
    const int permille = int(std::lround(dampingFraction * 1000));
    if (permille >= 1000) return springEasing<1000>;
    if (permille >= 900) return springEasing<900>;
    if (permille >= 800) return springEasing<800>;
    if (permille >= 700) return springEasing<700>;
    if (permille >= 600) return springEasing<600>;
    return springEasing<500>;
}

}  // namespace

bool Motion::enabled() { return QApplication::isEffectEnabled(Qt::UI_General); }

void Motion::setEnabled(bool enabled) { QApplication::setEffectEnabled(Qt::UI_General, enabled); }

int Motion::milliseconds(const Spring& spring) {
    const double omega = 2 * std::numbers::pi / spring.response;
    const double decay = spring.dampingFraction >= 1 ? criticallySettled / omega
                                                     : settled / (spring.dampingFraction * omega);
    return int(std::lround(decay * 1000));
}

QEasingCurve Motion::curve(const Spring& spring) {
    QEasingCurve curve;
    curve.setCustomType(springFunction(spring.dampingFraction));
    return curve;
}

void Motion::run(QVariantAnimation& animation, const QVariant& from, const QVariant& to, int milliseconds,
                 const QEasingCurve& curve) {
    animation.stop();
    animation.setEasingCurve(curve);
    animation.setStartValue(from);
    animation.setEndValue(to);
    // Without motion the animation ends inside start(): its last value and
    // its finished() come at once.
    animation.setDuration(enabled() ? milliseconds : 0);
    animation.start();
}

void Motion::run(QVariantAnimation& animation, const QVariant& from, const QVariant& to, const Spring& spring) {
    run(animation, from, to, Motion::milliseconds(spring), curve(spring));
}

}  // namespace tessaron::views
