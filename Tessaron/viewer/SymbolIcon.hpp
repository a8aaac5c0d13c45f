#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace tessaron::viewer {

// The few symbols the converter window shows, drawn as vectors in a given
// colour, so they look the same whatever icon theme the desktop has.
enum class Symbol {
    shippingBoxAndArrowBackward,
    arrowDownDoc,
    circle,
    checkmarkCircleFill,
    xmarkCircleFill,
    exclamationmarkTriangleFill,
    playFill,
};

class SymbolIcon {
public:
    // A square pixmap of `size` logical pixels at the given device pixel ratio.
    static QPixmap pixmap(Symbol symbol, const QColor& color, int size, qreal devicePixelRatio = 1.0);
    static QIcon icon(Symbol symbol, const QColor& color, int size);
};

}  // namespace tessaron::viewer
