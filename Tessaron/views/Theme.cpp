#include "views/Theme.hpp"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include <algorithm>
#include <array>

namespace tessaron::views::theme {
namespace {

const char* const sansFamily = "DejaVu Sans";
const char* const monoFamily = "DejaVu Sans Mono";

int pixelSize(TextStyle style) {
    switch (style) {
    case TextStyle::title2: return 17;
    case TextStyle::title3: return 15;
    case TextStyle::headline: return 13;
    case TextStyle::body: return 13;
    case TextStyle::callout: return 12;
    case TextStyle::subheadline: return 11;
    case TextStyle::caption: return 10;
    case TextStyle::caption2: return 10;
    }
    return 13;
}

QFont::Weight qtWeight(Weight weight) {
    switch (weight) {
    case Weight::regular: return QFont::Normal;
    case Weight::semibold: return QFont::DemiBold;
    case Weight::bold: return QFont::Bold;
    }
    return QFont::Normal;
}

QFont makeFont(const char* family, int size, Weight weight) {
    QFont font(QString::fromLatin1(family));
    font.setPixelSize(size);
    font.setWeight(qtWeight(weight));
    return font;
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(std::clamp(color.alphaF() * opacity, 0.0, 1.0)));
    return color;
}

}  // namespace

QFont font(TextStyle style, Weight weight) {
    // The headline style is semibold unless a heavier weight is asked for.
    if (style == TextStyle::headline && weight == Weight::regular) weight = Weight::semibold;
    return makeFont(sansFamily, pixelSize(style), weight);
}

QFont monospacedFont(TextStyle style, Weight weight) { return makeFont(monoFamily, pixelSize(style), weight); }

QFont systemFont(int size, Weight weight) { return makeFont(sansFamily, size, weight); }

QColor color(NamedColor name, double opacity) {
    const QPalette palette = QApplication::palette();
    QColor base;
    switch (name) {
    case NamedColor::primary: base = palette.color(QPalette::WindowText); break;
    case NamedColor::secondary: base = withOpacity(palette.color(QPalette::WindowText), 0.55); break;
    case NamedColor::blue: base = QColor(0x0a, 0x84, 0xff); break;
    case NamedColor::green: base = QColor(0x30, 0xb0, 0x50); break;
    case NamedColor::orange: base = QColor(0xff, 0x95, 0x00); break;
    case NamedColor::red: base = QColor(0xff, 0x3b, 0x30); break;
    case NamedColor::yellow: base = QColor(0xff, 0xcc, 0x00); break;
    case NamedColor::gray: base = QColor(0x8e, 0x8e, 0x93); break;
    case NamedColor::cyan: base = QColor(0x32, 0xad, 0xe6); break;
    }
    return withOpacity(base, opacity);
}

QColor onDarkColor(NamedColor name, double opacity) {
    switch (name) {
    case NamedColor::primary: return withOpacity(QColor(Qt::white), opacity);
    case NamedColor::secondary: return withOpacity(QColor(Qt::white), 0.55 * opacity);
    case NamedColor::gray: return withOpacity(QColor(0xae, 0xae, 0xb2), opacity);
    case NamedColor::blue:
    case NamedColor::green:
    case NamedColor::orange:
    case NamedColor::red:
    case NamedColor::yellow:
    case NamedColor::cyan: break;
    }
    return color(name, opacity);
}

QColor cellColor(int64_t index) {
    static const std::array<QColor, cellPaletteSize> palette{
        QColor(0xff, 0x3b, 0x30), QColor(0x34, 0xc7, 0x59), QColor(0x0a, 0x84, 0xff), QColor(0xff, 0x95, 0x00),
        QColor(0xaf, 0x52, 0xde), QColor(0x30, 0xb0, 0xc7), QColor(0x58, 0x56, 0xd6), QColor(0xff, 0x2d, 0x55),
        QColor(0xff, 0xcc, 0x00), QColor(0xa2, 0x84, 0x5e), QColor(0x32, 0xad, 0xe6), QColor(0x00, 0xc7, 0xbe)};
    const int64_t slot = index % cellPaletteSize;
    return palette[size_t(slot < 0 ? slot + cellPaletteSize : slot)];
}

QColor windowBackground() { return QApplication::palette().color(QPalette::Window); }

QColor materialFill(Material material) {
    QColor fill = QApplication::palette().color(QPalette::Base);
    switch (material) {
    case Material::ultraThin: fill.setAlphaF(0.78f); break;
    case Material::thin: fill.setAlphaF(0.84f); break;
    case Material::regular: fill.setAlphaF(0.92f); break;
    }
    return fill;
}

QColor panelBorder() { return color(NamedColor::primary, 0.08); }

void paintPanel(QPainter& painter, const QRectF& rect, double radius, Material material, bool border) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF inner = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    const double r = radius < 0 ? inner.height() / 2 : radius;
    QPainterPath path;
    path.addRoundedRect(inner, r, r);
    painter.fillPath(path, materialFill(material));
    if (border) {
        painter.setPen(QPen(panelBorder(), 1));
        painter.drawPath(path);
    }
    painter.restore();
}

}  // namespace tessaron::views::theme
