#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>

#include <cstdint>

class QPainter;
class QPalette;

namespace tessaron::views {

// The window's one type and colour table. Sizes are in pixels at 1× scale,
// fonts are DejaVu Sans and DejaVu Sans Mono (Debian's fonts-dejavu).
namespace theme {

enum class TextStyle { title2, title3, headline, subheadline, body, callout, caption, caption2 };
enum class Weight { regular, semibold, bold };

QFont font(TextStyle style, Weight weight = Weight::regular);
QFont monospacedFont(TextStyle style, Weight weight = Weight::regular);
// A font of an explicit pixel size, for symbols sized by the layout.
QFont systemFont(int pixelSize, Weight weight = Weight::regular);

// The named colours of the views.
enum class NamedColor { primary, secondary, blue, green, orange, red, yellow, gray, cyan };
QColor color(NamedColor name, double opacity = 1.0);
// The same colour for a control that lies over a black picture (the 3D
// panes): primary, secondary and gray turn light, the hues stay.
QColor onDarkColor(NamedColor name, double opacity = 1.0);
QColor windowBackground();

// The cells' colours, shared by the partition views and the plan's cell
// list: red, green, blue, orange, purple, teal, indigo, pink, yellow, brown,
// cyan, mint; cell i takes colour i modulo 12.
inline constexpr int cellPaletteSize = 12;
QColor cellColor(int64_t index);

// Floating panels are painted, not blurred: a translucent fill over the
// window's content and a one-pixel border.
enum class Material { ultraThin, thin, regular };
QColor materialFill(Material material);
// The border every floating panel carries: primary at 8 %.
QColor panelBorder();
// Fills and strokes a rounded rectangle (radius < 0: a capsule).
void paintPanel(QPainter& painter, const QRectF& rect, double radius, Material material, bool border = true);

}  // namespace theme
}  // namespace tessaron::views
