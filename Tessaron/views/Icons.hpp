#pragma once

#include <QColor>
#include <QIcon>
#include <QSize>

class QPainter;
class QRectF;

namespace tessaron::views {

// The window's own small symbol set, drawn with QPainter so that it scales
// and takes any colour.
enum class Symbol {
    chevronLeft,      // hide the step menu
    chevronRight,     // show it again
    logDrawer,        // a page with bulleted lines
    downloadCircle,   // a filled circle with an arrow down
    checkmark,
    // The step panels' symbols.
    checkmarkCircleFill,            // done
    exclamationmarkTriangleFill,    // a warning or a failure
    handRaisedFill,                 // the user must act
    squareGrid3x3,                  // a plan of cells
    squareSplitBottomRightQuarter,  // cells being written
    playFill,                       // start
    folder,
    envelope,
    docBadgePlus,                   // open a model
    squareStack3dUp,                // merge layers
};

// Draws `symbol` into `rect` with `color`; the line width follows the size.
void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& rect, const QColor& color);
QIcon symbolIcon(Symbol symbol, QSize size, const QColor& color);

}  // namespace tessaron::views
