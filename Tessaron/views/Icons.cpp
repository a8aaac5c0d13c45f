#include "views/Icons.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <array>
#include <utility>

namespace tessaron::views {

namespace {

// Fills a triangle with `color`.
void fillTriangle(QPainter& painter, const QPolygonF& corners, const QColor& color) {
    QPainterPath triangle;
    triangle.addPolygon(corners);
    triangle.closeSubpath();
    painter.fillPath(triangle, color);
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
    case Symbol::xmarkCircleFill:
    case Symbol::exclamationmarkCircleFill:
    case Symbol::questionmarkCircleFill: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(box.adjusted(side * 0.04, side * 0.04, -side * 0.04, -side * 0.04));
        painter.setPen(QPen(Qt::white, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        if (symbol == Symbol::checkmarkCircleFill) {
            painter.drawPolyline(QPolygonF{at(0.28, 0.52), at(0.44, 0.68), at(0.72, 0.36)});
        } else if (symbol == Symbol::xmarkCircleFill) {
            painter.drawLine(at(0.34, 0.34), at(0.66, 0.66));
            painter.drawLine(at(0.66, 0.34), at(0.34, 0.66));
        } else if (symbol == Symbol::exclamationmarkCircleFill) {
            painter.drawLine(at(0.5, 0.26), at(0.5, 0.56));
            painter.drawPoint(at(0.5, 0.73));
        } else {
            QPainterPath hook;
            hook.moveTo(at(0.36, 0.38));
            hook.cubicTo(at(0.36, 0.2), at(0.66, 0.2), at(0.64, 0.4));
            hook.cubicTo(at(0.62, 0.5), at(0.5, 0.5), at(0.5, 0.6));
            painter.drawPath(hook);
            painter.drawPoint(at(0.5, 0.76));
        }
        break;
    }
    case Symbol::exclamationmarkTriangleFill: {
        fillTriangle(painter, {at(0.5, 0.08), at(0.95, 0.88), at(0.05, 0.88)}, color);
        painter.setPen(QPen(Qt::white, line, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(at(0.5, 0.36), at(0.5, 0.6));
        painter.drawPoint(at(0.5, 0.74));
        break;
    }
    case Symbol::folder:
    case Symbol::folderPlus:
    case Symbol::folderQuestion:
    case Symbol::folderFill: {
        QPainterPath folder;
        folder.moveTo(at(0.08, 0.24));
        folder.lineTo(at(0.38, 0.24));
        folder.lineTo(at(0.46, 0.34));
        folder.lineTo(at(0.92, 0.34));
        folder.lineTo(at(0.92, 0.8));
        folder.lineTo(at(0.08, 0.8));
        folder.closeSubpath();
        if (symbol == Symbol::folderFill) painter.setBrush(color);
        painter.drawPath(folder);
        if (symbol == Symbol::folderPlus) {
            painter.drawLine(at(0.5, 0.44), at(0.5, 0.7));
            painter.drawLine(at(0.37, 0.57), at(0.63, 0.57));
        } else if (symbol == Symbol::folderQuestion) {
            QFont font;
            font.setPixelSize(std::max(1, int(side * 0.42)));
            font.setBold(true);
            painter.setFont(font);
            painter.drawText(QRectF(at(0.08, 0.34), at(0.92, 0.82)), Qt::AlignCenter, QStringLiteral("?"));
        }
        break;
    }
    case Symbol::cameraAperture: {
        painter.drawEllipse(box.adjusted(side * 0.1, side * 0.1, -side * 0.1, -side * 0.1));
        painter.drawEllipse(box.adjusted(side * 0.32, side * 0.32, -side * 0.32, -side * 0.32));
        for (auto [x0, y0, x1, y1] : {std::array{0.5, 0.1, 0.68, 0.34}, std::array{0.9, 0.5, 0.66, 0.68},
                                      std::array{0.5, 0.9, 0.32, 0.66}, std::array{0.1, 0.5, 0.34, 0.32}})
            painter.drawLine(at(x0, y0), at(x1, y1));
        break;
    }
    case Symbol::squareGrid3x3:
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column)
                painter.drawRect(QRectF(at(0.1 + column * 0.28, 0.1 + row * 0.28), QSizeF(side * 0.2, side * 0.2)));
        break;
    case Symbol::cpu:
    case Symbol::memoryChip: {
        const bool cpu = symbol == Symbol::cpu;
        const QRectF body = cpu ? QRectF(at(0.24, 0.24), at(0.76, 0.76)) : QRectF(at(0.1, 0.3), at(0.9, 0.7));
        painter.setBrush(cpu ? Qt::NoBrush : QBrush(color));
        painter.drawRoundedRect(body, side * 0.06, side * 0.06);
        painter.setBrush(Qt::NoBrush);
        for (double t : {0.35, 0.5, 0.65}) {
            if (cpu) {
                painter.drawLine(at(t, 0.08), at(t, 0.22));
                painter.drawLine(at(t, 0.78), at(t, 0.92));
                painter.drawLine(at(0.08, t), at(0.22, t));
                painter.drawLine(at(0.78, t), at(0.92, t));
            } else {
                painter.drawLine(at(t - 0.1, 0.72), at(t - 0.1, 0.86));
                painter.drawLine(at(t + 0.1, 0.72), at(t + 0.1, 0.86));
            }
        }
        break;
    }
    case Symbol::cubeTransparent: {
        const QPointF front[4] = {at(0.14, 0.34), at(0.62, 0.34), at(0.62, 0.86), at(0.14, 0.86)};
        const QPointF back[4] = {at(0.38, 0.14), at(0.86, 0.14), at(0.86, 0.66), at(0.38, 0.66)};
        for (int i = 0; i < 4; ++i) {
            painter.drawLine(front[i], front[(i + 1) % 4]);
            painter.drawLine(back[i], back[(i + 1) % 4]);
            painter.drawLine(front[i], back[i]);
        }
        break;
    }
    case Symbol::dropTray:
        painter.drawRoundedRect(QRectF(at(0.2, 0.06), at(0.94, 0.72)), side * 0.08, side * 0.08);
        painter.drawPolyline(QPolygonF{at(0.06, 0.3), at(0.06, 0.94), at(0.72, 0.94)});
        painter.drawLine(at(0.57, 0.18), at(0.57, 0.52));
        painter.drawPolyline(QPolygonF{at(0.43, 0.4), at(0.57, 0.54), at(0.71, 0.4)});
        break;
    case Symbol::photoStack:
        painter.drawRoundedRect(QRectF(at(0.08, 0.3), at(0.78, 0.9)), side * 0.06, side * 0.06);
        painter.drawPolyline(QPolygonF{at(0.2, 0.2), at(0.88, 0.2), at(0.88, 0.76)});
        painter.drawPolyline(QPolygonF{at(0.14, 0.82), at(0.34, 0.58), at(0.48, 0.72), at(0.58, 0.62), at(0.74, 0.82)});
        break;
    case Symbol::arrowsOutward:
    case Symbol::arrowsInward: {
        const bool outward = symbol == Symbol::arrowsOutward;
        painter.drawLine(at(0.14, 0.14), at(0.42, 0.42));
        painter.drawLine(at(0.58, 0.58), at(0.86, 0.86));
        const QPointF tipA = outward ? at(0.14, 0.14) : at(0.42, 0.42);
        const QPointF tipB = outward ? at(0.86, 0.86) : at(0.58, 0.58);
        const double d = side * 0.22 * (outward ? 1 : -1);
        painter.drawPolyline(QPolygonF{tipA + QPointF(d, 0), tipA, tipA + QPointF(0, d)});
        painter.drawPolyline(QPolygonF{tipB - QPointF(d, 0), tipB, tipB - QPointF(0, d)});
        break;
    }
    case Symbol::sliders:
        for (auto [y, knob] : {std::pair{0.22, 0.32}, std::pair{0.5, 0.66}, std::pair{0.78, 0.42}}) {
            painter.drawLine(at(0.06, y), at(0.94, y));
            painter.setBrush(color);
            painter.drawEllipse(at(knob, y), side * 0.08, side * 0.08);
            painter.setBrush(Qt::NoBrush);
        }
        break;
    case Symbol::playFill:
        fillTriangle(painter, {at(0.22, 0.1), at(0.88, 0.5), at(0.22, 0.9)}, color);
        break;
    case Symbol::chartBar:
        painter.drawLine(at(0.22, 0.9), at(0.22, 0.55));
        painter.drawLine(at(0.5, 0.9), at(0.5, 0.15));
        painter.drawLine(at(0.78, 0.9), at(0.78, 0.4));
        break;
    case Symbol::gauge: {
        painter.drawArc(box.adjusted(side * 0.08, side * 0.16, -side * 0.08, side * 0.0), 0, 180 * 16);
        painter.drawLine(at(0.5, 0.58), at(0.72, 0.32));
        painter.setBrush(color);
        painter.drawEllipse(at(0.5, 0.58), side * 0.06, side * 0.06);
        break;
    }
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
    case Symbol::squareSplitBottomRightQuarter:
        painter.setPen(QPen(color, std::max(1.0, line * 0.7)));
        painter.drawRoundedRect(QRectF(at(0.1, 0.1), at(0.9, 0.9)), side * 0.08, side * 0.08);
        painter.drawLine(at(0.5, 0.5), at(0.5, 0.9));
        painter.drawLine(at(0.5, 0.5), at(0.9, 0.5));
        break;
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
