#include "views/RollingNumberLabel.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QVariantAnimation>

#include <algorithm>

namespace tessaron::views {

RollingNumberLabel::RollingNumberLabel(Motion::Spring spring, QWidget* parent)
    : QLabel(parent), spring_(spring), roll_(new QVariantAnimation(this)) {
    connect(roll_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        progress_ = value.toDouble();
        update();
    });
    connect(roll_, &QVariantAnimation::finished, this, [this] {
        progress_ = 1;
        update();
    });
}

void RollingNumberLabel::setNumber(const QString& text, double value) {
    if (text == this->text()) return;
    // Mid-roll, the roll starts again from the value last set, not from a
    // picture half way.
    from_ = this->text();
    upwards_ = value >= value_;
    value_ = value;
    setText(text);
    if (from_.isEmpty()) {
        roll_->stop();
        progress_ = 1;
        return;
    }
    progress_ = 0;
    Motion::run(*roll_, 0.0, 1.0, spring_);
}

void RollingNumberLabel::settle() {
    roll_->stop();
    progress_ = 1;
    update();
}

bool RollingNumberLabel::isRolling() const { return roll_->state() == QAbstractAnimation::Running; }

void RollingNumberLabel::paintRoll(QPainter& painter, const QRectF& rect, Qt::Alignment alignment, const QString& from,
                                   const QString& to, double progress, bool upwards) {
    const QFontMetricsF metrics(painter.font());
    const double toWidth = metrics.horizontalAdvance(to);
    double left = rect.left();
    if (alignment & Qt::AlignHCenter) left = rect.center().x() - toWidth / 2;
    if (alignment & Qt::AlignRight) left = rect.right() - toWidth;
    const double trailing = left + toWidth;
    const double baseline = rect.top() + (rect.height() - metrics.height()) / 2 + metrics.ascent();
    const double travel = metrics.height() * 0.8;
    const double shift = (upwards ? -1 : 1) * travel;
    const double clamped = std::clamp(progress, 0.0, 1.0);
    const QColor colour = painter.pen().color();
    // Characters pair up from the trailing end: the units with the units.
    const qsizetype count = std::max(from.size(), to.size());
    for (qsizetype back = 1; back <= count; ++back) {
        const QChar oldChar = back <= from.size() ? from[from.size() - back] : QChar();
        const QChar newChar = back <= to.size() ? to[to.size() - back] : QChar();
        const double oldX = trailing - metrics.horizontalAdvance(from.right(std::min(back, from.size())));
        const double newX = trailing - metrics.horizontalAdvance(to.right(std::min(back, to.size())));
        if (oldChar == newChar) {
            painter.setOpacity(1);
            painter.drawText(QPointF(newX, baseline), QString(newChar));
            continue;
        }
        // The old character leaves by `progress` of the way, the new one
        // arrives from the other side; a spring's overshoot carries it a
        // little past its place and back.
        if (!oldChar.isNull() && clamped < 1) {
            painter.setOpacity(1 - clamped);
            painter.drawText(QPointF(oldX, baseline + shift * progress), QString(oldChar));
        }
        if (!newChar.isNull()) {
            painter.setOpacity(clamped);
            painter.drawText(QPointF(newX, baseline - shift * (1 - progress)), QString(newChar));
        }
    }
    painter.setOpacity(1);
    painter.setPen(colour);
}

void RollingNumberLabel::paintEvent(QPaintEvent* event) {
    if (progress_ >= 1 && !isRolling()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font());
    painter.setPen(palette().color(foregroundRole()));
    painter.setClipRect(rect());
    paintRoll(painter, QRectF(contentsRect()), alignment(), from_, text(), progress_, upwards_);
}

}  // namespace tessaron::views
