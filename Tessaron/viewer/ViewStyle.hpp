#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

namespace tessaron::viewer {

// The text styles and colours of the converter window, derived from the
// application's font and palette.
class ViewStyle {
public:
    enum class TextStyle { headline, title2, callout, caption, caption2 };

    static QFont font(TextStyle style, const QFont& base);
    // Text and symbols of lesser importance.
    static QColor secondaryColor(const QPalette& palette);
    static void setTextColor(QWidget& widget, const QColor& color);

    static QColor green() { return QColor(52, 168, 83); }
    static QColor red() { return QColor(217, 48, 37); }
    static QColor orange() { return QColor(230, 126, 0); }
};

}  // namespace tessaron::viewer
