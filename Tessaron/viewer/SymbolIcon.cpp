#include "viewer/SymbolIcon.hpp"

#include <QPainter>
#include <QPainterPath>

#include <vector>

namespace tessaron::viewer {

namespace {

// Each symbol is drawn in a 24 × 24 box.
void draw(QPainter& painter, Symbol symbol, const QColor& color) {
    QPen stroke(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    // The "fill" symbols cut their mark out of the disc or triangle.
    auto cutOut = [&painter](const QPainterPath& mark) {
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setPen(QPen(Qt::black, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(mark);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    };
    // A filled disc with one or two strokes cut out of it.
    auto discWith = [&](const std::vector<QPointF>& firstStroke, const std::vector<QPointF>& secondStroke) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(QRectF(2, 2, 20, 20));
        QPainterPath mark;
        for (const auto* stroke : {&firstStroke, &secondStroke}) {
            if (stroke->empty()) continue;
            mark.moveTo(stroke->front());
            for (std::size_t index = 1; index < stroke->size(); ++index) mark.lineTo((*stroke)[index]);
        }
        cutOut(mark);
    };
    switch (symbol) {
    case Symbol::circle:
        painter.setPen(stroke);
        painter.drawEllipse(QRectF(3, 3, 18, 18));
        break;
    case Symbol::checkmarkCircleFill:
        discWith({{7.5, 12.5}, {10.5, 15.5}, {16.5, 8.5}}, {});
        break;
    case Symbol::xmarkCircleFill:
        discWith({{8.5, 8.5}, {15.5, 15.5}}, {{15.5, 8.5}, {8.5, 15.5}});
        break;
    case Symbol::exclamationmarkTriangleFill: {
        painter.setPen(QPen(color, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(color);
        painter.drawPolygon(QPolygonF({QPointF(12, 3), QPointF(22, 20.5), QPointF(2, 20.5)}));
        QPainterPath mark;
        mark.moveTo(12, 9);
        mark.lineTo(12, 14);
        mark.moveTo(12, 17.3);
        mark.lineTo(12, 17.4);
        cutOut(mark);
        break;
    }
    case Symbol::playFill:
        painter.setPen(QPen(color, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(color);
        painter.drawPolygon(QPolygonF({QPointF(7, 4), QPointF(20, 12), QPointF(7, 20)}));
        break;
    case Symbol::arrowDownDoc: {
        painter.setPen(stroke);
        QPainterPath page;
        page.moveTo(5, 3);
        page.lineTo(14, 3);
        page.lineTo(19, 8);
        page.lineTo(19, 21);
        page.lineTo(5, 21);
        page.closeSubpath();
        page.moveTo(14, 3);
        page.lineTo(14, 8);
        page.lineTo(19, 8);
        page.moveTo(12, 10);
        page.lineTo(12, 18);
        page.moveTo(9, 15);
        page.lineTo(12, 18);
        page.lineTo(15, 15);
        painter.drawPath(page);
        break;
    }
    case Symbol::shippingBoxAndArrowBackward: {
        painter.setPen(stroke);
        QPainterPath box;
        box.addRect(QRectF(8, 9, 13, 11));
        box.moveTo(8, 9);
        box.lineTo(10, 5);
        box.lineTo(19, 5);
        box.lineTo(21, 9);
        box.moveTo(14.5, 5);
        box.lineTo(14.5, 9);
        box.moveTo(6, 15);
        box.lineTo(1.5, 15);
        box.moveTo(3.5, 13);
        box.lineTo(1.5, 15);
        box.lineTo(3.5, 17);
        painter.drawPath(box);
        break;
    }
    }
}

}  // namespace

QPixmap SymbolIcon::pixmap(Symbol symbol, const QColor& color, int size, qreal devicePixelRatio) {
    QPixmap image(QSize(size, size) * devicePixelRatio);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    draw(painter, symbol, color);
    return image;
}

QIcon SymbolIcon::icon(Symbol symbol, const QColor& color, int size) {
    QIcon icon;
    icon.addPixmap(pixmap(symbol, color, size, 1.0));
    icon.addPixmap(pixmap(symbol, color, size, 2.0));
    return icon;
}

}  // namespace tessaron::viewer
