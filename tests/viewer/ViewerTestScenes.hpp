#pragma once

#include <QImage>
#include <array>
#include <cstdint>
#include <filesystem>
#include <random>
#include <vector>

#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "SplatFormats/SplatPoint.hpp"

namespace tessaron::viewer::testing {

using splatformats::SplatPoint;
using Colour = std::array<std::uint8_t, 3>;

// `count` small opaque splats of one colour, spread normally around
// `centre` (scene axes: x right, y down, z forward).
inline std::vector<SplatPoint> cluster(std::size_t count, std::array<float, 3> centre, float spread, Colour colour,
                                       std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> offset(0, spread);
    std::vector<SplatPoint> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        points.emplace_back(
            splatformats::Vector3{centre[0] + offset(generator), centre[1] + offset(generator), centre[2] + offset(generator)},
            SplatPoint::Color::sRGBUInt8(colour), SplatPoint::Opacity::linearUInt8(255),
            SplatPoint::Scale::linearFloat({0.02f, 0.02f, 0.02f}), splatformats::Quaternion{0, 0, 0, 1});
    return points;
}

inline void writePLY(const std::filesystem::path& file, const std::vector<SplatPoint>& points) {
    splatformats::SplatPLYSceneWriter writer(file);
    writer.start(0, true, std::int64_t(points.size()));
    writer.write(points);
    writer.close();
}

inline void writeDotSplat(const std::filesystem::path& file, const std::vector<SplatPoint>& points) {
    splatformats::DotSplatSceneWriter writer(file);
    writer.write(points);
    writer.close();
}

// The intensity-weighted centre of the pixels where one channel clearly
// dominates, and how much of that channel there is.
struct ColourMass {
    double x = 0, y = 0, mass = 0;
};

inline ColourMass massOf(const QImage& image, int channel) {
    ColourMass result;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const int values[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
            const int own = values[channel];
            if (own < 40 || own < 2 * values[(channel + 1) % 3] || own < 2 * values[(channel + 2) % 3]) continue;
            result.mass += own;
            result.x += own * (x + 0.5);
            result.y += own * (y + 0.5);
        }
    if (result.mass > 0) {
        result.x /= result.mass;
        result.y /= result.mass;
    }
    return result;
}

}  // namespace tessaron::viewer::testing
