#include "views/Icons.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace tessaron::views {
namespace {

// A filled disc with a white mark stroked over it.
void discWithMark(QPainter& painter, const QRectF& box, const QColor& color, double line, const QPolygonF& mark) {
    const double inset = box.width() * 0.04;
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(box.adjusted(inset, inset, -inset, -inset));
    painter.setPen(QPen(Qt::white, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(mark);
}

}  // namespace

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
    case Symbol::checkmarkCircleFill:
        discWithMark(painter, box, color, line, {at(0.3, 0.52), at(0.45, 0.66), at(0.7, 0.36)});
        break;
    case Symbol::exclamationmarkTriangleFill: {
        painter.setPen(QPen(color, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(color);
        painter.drawPolygon(QPolygonF{at(0.5, 0.1), at(0.93, 0.86), at(0.07, 0.86)});
        QPen mark(Qt::white, line, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(mark);
        painter.drawLine(at(0.5, 0.38), at(0.5, 0.6));
        painter.drawPoint(at(0.5, 0.74));
        break;
    }
    case Symbol::handRaisedFill: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        // Four fingers, the thumb and the palm.
        for (double x : {0.3, 0.43, 0.56, 0.69})
            painter.drawRoundedRect(QRectF(at(x - 0.05, x == 0.3 || x == 0.69 ? 0.2 : 0.1), at(x + 0.05, 0.6)),
                                    side * 0.05, side * 0.05);
        QPainterPath thumb;
        thumb.moveTo(at(0.2, 0.55));
        thumb.lineTo(at(0.27, 0.5));
        thumb.lineTo(at(0.4, 0.7));
        thumb.lineTo(at(0.3, 0.75));
        thumb.closeSubpath();
        painter.drawPath(thumb);
        painter.drawRoundedRect(QRectF(at(0.25, 0.45), at(0.74, 0.92)), side * 0.14, side * 0.14);
        break;
    }
    case Symbol::squareGrid3x3:
        painter.setPen(QPen(color, std::max(1.0, line * 0.7)));
        painter.drawRoundedRect(QRectF(at(0.1, 0.1), at(0.9, 0.9)), side * 0.08, side * 0.08);
        for (double t : {0.367, 0.633}) {
            painter.drawLine(at(t, 0.1), at(t, 0.9));
            painter.drawLine(at(0.1, t), at(0.9, t));
        }
        break;
    case Symbol::squareSplitBottomRightQuarter:
        painter.setPen(QPen(color, std::max(1.0, line * 0.7)));
        painter.drawRoundedRect(QRectF(at(0.1, 0.1), at(0.9, 0.9)), side * 0.08, side * 0.08);
        painter.drawLine(at(0.5, 0.5), at(0.5, 0.9));
        painter.drawLine(at(0.5, 0.5), at(0.9, 0.5));
        break;
    case Symbol::playFill:
        painter.setBrush(color);
        painter.drawPolygon(QPolygonF{at(0.3, 0.16), at(0.82, 0.5), at(0.3, 0.84)});
        break;
    case Symbol::folder: {
        QPainterPath outline;
        outline.moveTo(at(0.08, 0.26));
        outline.lineTo(at(0.38, 0.26));
        outline.lineTo(at(0.46, 0.34));
        outline.lineTo(at(0.92, 0.34));
        outline.lineTo(at(0.92, 0.82));
        outline.lineTo(at(0.08, 0.82));
        outline.closeSubpath();
        painter.drawPath(outline);
        break;
    }
    case Symbol::envelope:
        painter.drawRoundedRect(QRectF(at(0.08, 0.22), at(0.92, 0.78)), side * 0.06, side * 0.06);
        painter.drawPolyline(QPolygonF{at(0.1, 0.26), at(0.5, 0.56), at(0.9, 0.26)});
        break;
    case Symbol::docBadgePlus: {
        QPainterPath page;
        page.moveTo(at(0.2, 0.08));
        page.lineTo(at(0.55, 0.08));
        page.lineTo(at(0.75, 0.28));
        page.lineTo(at(0.75, 0.5));
        page.moveTo(at(0.5, 0.92));
        page.lineTo(at(0.2, 0.92));
        page.lineTo(at(0.2, 0.08));
        painter.drawPath(page);
        painter.drawLine(at(0.75, 0.6), at(0.75, 0.92));
        painter.drawLine(at(0.59, 0.76), at(0.91, 0.76));
        break;
    }
    case Symbol::squareStack3dUp:
        for (double y : {0.62, 0.46}) painter.drawPolyline(QPolygonF{at(0.1, y), at(0.5, y + 0.2), at(0.9, y)});
        painter.drawPolygon(QPolygonF{at(0.5, 0.1), at(0.9, 0.3), at(0.5, 0.5), at(0.1, 0.3)});
        break;
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
