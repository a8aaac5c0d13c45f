#include "viewer/ViewStyle.hpp"

#include <QWidget>

namespace tessaron::viewer {

QFont ViewStyle::font(TextStyle style, const QFont& base) {
    QFont font = base;
    const qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : 10;
    switch (style) {
    case TextStyle::headline:
        font.setBold(true);
        break;
    case TextStyle::title2:
        font.setPointSizeF(size * 1.6);
        break;
    case TextStyle::callout:
        font.setPointSizeF(size * 0.95);
        break;
    case TextStyle::caption:
        font.setPointSizeF(size * 0.85);
        break;
    case TextStyle::caption2:
        font.setPointSizeF(size * 0.8);
        break;
    }
    return font;
}

QColor ViewStyle::secondaryColor(const QPalette& palette) {
    QColor text = palette.color(QPalette::WindowText);
    QColor window = palette.color(QPalette::Window);
    // Halfway between text and background reads as secondary on light and
    // dark themes alike.
    return QColor((text.red() + window.red()) / 2, (text.green() + window.green()) / 2, (text.blue() + window.blue()) / 2);
}

void ViewStyle::setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

}  // namespace tessaron::viewer
