#include "views/PresenceTransition.hpp"

#include <QGraphicsOpacityEffect>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>

namespace tessaron::views {

PresenceTransition::PresenceTransition(QWidget& layer, int milliseconds, QEasingCurve curve)
    : PresenceTransition(layer, milliseconds, curve, milliseconds, curve) {}

PresenceTransition::PresenceTransition(QWidget& layer, const Motion::Spring& spring)
    : PresenceTransition(layer, Motion::milliseconds(spring), Motion::curve(spring)) {}

PresenceTransition::PresenceTransition(QWidget& layer, int inMilliseconds, QEasingCurve inCurve, int outMilliseconds,
                                       QEasingCurve outCurve)
    : QObject(&layer),
      layer_(&layer),
      inMilliseconds_(inMilliseconds),
      inCurve_(std::move(inCurve)),
      outMilliseconds_(outMilliseconds),
      outCurve_(std::move(outCurve)),
      present_(layer.isVisibleTo(layer.parentWidget())),
      presence_(present_ ? 1.0 : 0.0),
      animation_(new QVariantAnimation(this)) {
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) { apply(value.toDouble()); });
    connect(animation_, &QVariantAnimation::finished, this, [this] {
        apply(animation_->endValue().toDouble());
        if (!present_ && layer_) layer_->hide();
    });
}

void PresenceTransition::setPresent(bool present) {
    if (!layer_) return;
    if (present == present_ && animation_->state() != QAbstractAnimation::Running &&
        layer_->isVisibleTo(layer_->parentWidget()) == present)
        return;
    present_ = present;
    // A leaving layer is already out of the user's way.
    layer_->setAttribute(Qt::WA_TransparentForMouseEvents, !present);
    if (present) layer_->show();
    if (present)
        Motion::run(*animation_, presence_, 1.0, inMilliseconds_, inCurve_);
    else
        Motion::run(*animation_, presence_, 0.0, outMilliseconds_, outCurve_);
}

void PresenceTransition::apply(double presence) {
    presence_ = presence;
    if (!layer_) return;
    // The effect draws the layer through a pixmap: only while it is see-through.
    const double opacity = std::clamp(presence, 0.0, 1.0);
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(layer_->graphicsEffect());
    if (opacity >= 1.0) {
        if (effect) layer_->setGraphicsEffect(nullptr);
    } else {
        if (!effect) {
            effect = new QGraphicsOpacityEffect(layer_);
            layer_->setGraphicsEffect(effect);
        }
        effect->setOpacity(opacity);
    }
    if (onPresenceChanged) onPresenceChanged(presence);
}

}  // namespace tessaron::views
