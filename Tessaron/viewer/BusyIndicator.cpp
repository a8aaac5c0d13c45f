#include "viewer/BusyIndicator.hpp"

#include <QPainter>

#include <algorithm>

#include "viewer/ViewStyle.hpp"

namespace tessaron::viewer {

BusyIndicator::BusyIndicator(int size, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("busyIndicator"));
    setFixedSize(size, size);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void BusyIndicator::showEvent(QShowEvent*) { timer_.start(); }
void BusyIndicator::hideEvent(QHideEvent*) { timer_.stop(); }

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal penWidth = std::max(1.5, width() / 8.0);
    QRectF circle = QRectF(rect()).adjusted(penWidth, penWidth, -penWidth, -penWidth);
    QColor track = ViewStyle::secondaryColor(palette());
    track.setAlphaF(0.3f);
    painter.setPen(QPen(track, penWidth));
    painter.drawEllipse(circle);
    QColor arc = palette().color(QPalette::WindowText);
    arc.setAlphaF(0.7f);
    painter.setPen(QPen(arc, penWidth, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, -angle_ * 16, 100 * 16);
}

}  // namespace tessaron::viewer
