#pragma once

// Pictures of the 3D views: the widget's own framebuffer, read after the
// view has settled, and counts of the pixels that show points of a colour.

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

#include <cstdlib>
#include <functional>

#include "views/PointScene.hpp"
#include "views/PointSceneWidget.hpp"

namespace tessaron::testing {

// Draws a frame and returns it (alpha dropped).
inline QImage frameOf(views::PointSceneWidget& widget) {
    return widget.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
}

// Pixels of `image` within `rect` that pass `test`.
inline int countPixels(const QImage& image, const QRect& rect, const std::function<bool(const QColor&)>& test) {
    int count = 0;
    const QRect inside = rect.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (test(image.pixelColor(x, y))) ++count;
    return count;
}

// Whether `pixel` is `color` (components 0-1) laid over `backdrop` at
// `opacity`, within a tolerance of 12 per channel.
inline bool showsColor(const QColor& pixel, const views::RGBColor& color, const QColor& backdrop, double opacity = 1) {
    auto close = [&](int actual, double component, int behind) {
        return std::abs(actual - (component * 255 * opacity + behind * (1 - opacity))) <= 12;
    };
    return close(pixel.red(), color.red, backdrop.red()) && close(pixel.green(), color.green, backdrop.green()) &&
           close(pixel.blue(), color.blue, backdrop.blue());
}

// Writes `image` as <name>.png into $TESSARON_SCREENSHOT_DIR when it is set,
// so that the pictures of a run can be looked at; nothing otherwise.
inline void keepScreenshot(const QImage& image, const std::string& name) {
    const char* folder = std::getenv("TESSARON_SCREENSHOT_DIR");
    if (!folder || !*folder) return;
    EXPECT_TRUE(image.save(QString::fromStdString(std::string(folder) + "/" + name + ".png")));
}

}  // namespace tessaron::testing
