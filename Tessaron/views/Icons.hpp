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
    // The step panels' badges and the log drawer's close button.
    checkmarkCircleFill,
    exclamationmarkTriangleFill,
    xmarkCircleFill,
    // The five steps of the step bar.
    folder,
    cameraAperture,
    squareGrid3x3,
    cpu,
    cubeTransparent,
    // The resources strip's rows.
    memoryChip,
    gauge,
    // The input form's own.
    dropTray,        // a tray with an arrow into it (drop here)
    folderPlus,      // a folder with a plus badge
    folderQuestion,  // a folder with a question-mark badge
    folderFill,
    exclamationmarkCircleFill,
    questionmarkCircleFill,
    photoStack,
    arrowsOutward,  // two arrows pointing apart (image size)
    arrowsInward,   // two arrows pointing together (downscale)
    sliders,        // three sliders (settings)
    playFill,
    chartBar,
    globe,            // the 360° inspector's title
    // The Planning and Final panels.
    handRaisedFill,                 // the user must act
    squareSplitBottomRightQuarter,  // cells being written
    envelope,
    docBadgePlus,                   // open a model
    squareStack3dUp,                // merge layers
};

// Draws `symbol` into `rect` with `color`; the line width follows the size.
void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& rect, const QColor& color);
QIcon symbolIcon(Symbol symbol, QSize size, const QColor& color);

}  // namespace tessaron::views
