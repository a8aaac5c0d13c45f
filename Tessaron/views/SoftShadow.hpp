#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>

class QPainter;

namespace tessaron::views {

// A drop shadow under a rounded rectangle, painted rather than blurred:
// stacked rounded rectangles that reach `color` under the shape and fade to
// nothing `blurRadius` pixels beyond it, moved by `offset`.
void paintSoftShadow(QPainter& painter, const QRectF& shape, double cornerRadius, const QColor& color,
                     double blurRadius, QPointF offset);

}  // namespace tessaron::views
