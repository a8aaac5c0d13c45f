#include "views/SoftShadow.hpp"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace tessaron::views {

void paintSoftShadow(QPainter& painter, const QRectF& shape, double cornerRadius, const QColor& color,
                     double blurRadius, QPointF offset) {
    if (color.alphaF() <= 0 || shape.isEmpty()) return;
    const int layers = std::clamp(int(std::ceil(blurRadius / 2)), 1, 24);
    // Each layer's alpha, chosen so that all layers together give the colour's.
    QColor layer = color;
    layer.setAlphaF(float(1 - std::pow(1 - color.alphaF(), 1.0 / layers)));
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(layer);
    const QRectF moved = shape.translated(offset);
    for (int i = layers; i >= 1; --i) {
        const double grow = blurRadius * i / layers - blurRadius / layers / 2;
        const QRectF rect = moved.adjusted(-grow, -grow, grow, grow);
        const double radius = cornerRadius + grow;
        painter.drawRoundedRect(rect, radius, radius);
    }
    painter.restore();
}

}  // namespace tessaron::views
