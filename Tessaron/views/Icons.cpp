#include "views/Icons.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace tessaron::views {

void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& rect, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(rect.width(), rect.height());
    const QRectF box(rect.center().x() - side / 2, rect.center().y() - side / 2, side, side);
    const double line = std::max(1.2, side / 9);
    QPen pen(color, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    auto at = [&](double x, double y) { return QPointF(box.left() + x * side, box.top() + y * side); };
    switch (symbol) {
    case Symbol::chevronLeft:
        painter.drawPolyline(QPolygonF{at(0.62, 0.18), at(0.32, 0.5), at(0.62, 0.82)});
        break;
    case Symbol::chevronRight:
        painter.drawPolyline(QPolygonF{at(0.38, 0.18), at(0.68, 0.5), at(0.38, 0.82)});
        break;
    case Symbol::logDrawer: {
        painter.drawRoundedRect(QRectF(at(0.18, 0.06), at(0.82, 0.94)), side * 0.1, side * 0.1);
        for (double y : {0.3, 0.5, 0.7}) {
            painter.drawPoint(at(0.33, y));
            painter.drawLine(at(0.45, y), at(0.68, y));
        }
        break;
    }
    case Symbol::downloadCircle: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(box.adjusted(side * 0.04, side * 0.04, -side * 0.04, -side * 0.04));
        QPen arrow(Qt::white, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(arrow);
        painter.setBrush(Qt::NoBrush);
        painter.drawLine(at(0.5, 0.26), at(0.5, 0.72));
        painter.drawPolyline(QPolygonF{at(0.32, 0.55), at(0.5, 0.73), at(0.68, 0.55)});
        break;
    }
    case Symbol::checkmark:
        painter.drawPolyline(QPolygonF{at(0.2, 0.52), at(0.42, 0.74), at(0.8, 0.28)});
        break;
    case Symbol::globe: {
        // A sphere with its equator, two parallels and one meridian ellipse.
        pen.setWidthF(std::max(1.0, side / 14));
        painter.setPen(pen);
        const QRectF sphere = box.adjusted(side * 0.06, side * 0.06, -side * 0.06, -side * 0.06);
        painter.drawEllipse(sphere);
        painter.drawEllipse(QRectF(at(0.32, 0.06), at(0.68, 0.94)));
        painter.drawLine(at(0.5, 0.06), at(0.5, 0.94));
        painter.drawLine(at(0.06, 0.5), at(0.94, 0.5));
        painter.drawLine(at(0.14, 0.28), at(0.86, 0.28));
        painter.drawLine(at(0.14, 0.72), at(0.86, 0.72));
        break;
    }
    }
    painter.restore();
}

QIcon symbolIcon(Symbol symbol, QSize size, const QColor& color) {
    QIcon icon;
    for (qreal scale : {1.0, 2.0}) {
        QPixmap pixmap(size * scale);
        pixmap.setDevicePixelRatio(scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        drawSymbol(painter, symbol, QRectF(QPointF(0, 0), QSizeF(size)), color);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace tessaron::views
