// The guided tour's sample result, made from the tour's sample COLMAP model.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "ToolCommand.hpp"
#include "colmap/COLMAPUtils.hpp"

namespace tessaron::tool {

namespace {

const char* const tourResultUsage =
    "<sparse/0> <out.ply>: write a Gaussian PLY with one splat per point of a COLMAP model, in its colour, sized "
    "by the model's mean point spacing, moved and scaled to the viewer's opening view (the tour's sample result)";

// The viewer opens on a sphere of this radius about the origin; the sample
// fills most of it.
constexpr double framedRadius = 2.5;

// The splats of a model's points: round, mostly opaque, unrotated, as wide
// as the points' mean spacing over the model's bounding box; the whole box
// centred on the origin and scaled so that its longest side spans twice
// `framedRadius`.
std::vector<splatformats::SplatPoint> splatsOfPoints(const colmap::Point3DMap& points) {
    std::array<double, 3> low{std::numeric_limits<double>::max(), std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::max()};
    std::array<double, 3> high{-low[0], -low[1], -low[2]};
    for (const auto& [id, point] : points) {
        const std::array<double, 3> position{point.x, point.y, point.z};
        for (size_t axis = 0; axis < 3; ++axis) {
            low[axis] = std::min(low[axis], position[axis]);
            high[axis] = std::max(high[axis], position[axis]);
        }
    }
    double volume = 1;
    double longest = 1e-3;
    std::array<double, 3> centre{};
    for (size_t axis = 0; axis < 3; ++axis) {
        volume *= std::max(high[axis] - low[axis], 1e-3);
        longest = std::max(longest, high[axis] - low[axis]);
        centre[axis] = (low[axis] + high[axis]) / 2;
    }
    const double scale = 2 * framedRadius / longest;
    const double spacing = std::cbrt(volume / double(std::max<size_t>(points.size(), 1))) * scale;
    const float logScale = float(std::log(std::max(spacing * 0.3, 1e-6)));

    std::vector<splatformats::SplatPoint> splats;
    splats.reserve(points.size());
    for (const auto& [id, point] : points)
        splats.emplace_back(splatformats::Vector3{float((point.x - centre[0]) * scale), float((point.y - centre[1]) * scale),
                                                  float((point.z - centre[2]) * scale)},
                            splatformats::SplatPoint::Color::sRGBUInt8({point.r, point.g, point.b}),
                            splatformats::SplatPoint::Opacity::linearFloat(0.9f),
                            splatformats::SplatPoint::Scale::exponent({logScale, logScale, logScale}),
                            splatformats::Quaternion{});
    return splats;
}

int runTourResult(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) return usageError(std::string("usage: tour-result ") + tourResultUsage);
    const auto points = colmap::COLMAPUtils::readPoints3D(std::filesystem::path(arguments[0]) / "points3D.bin");
    if (points.empty()) {
        std::cerr << "tour-result: the model in " << arguments[0] << " has no points\n";
        return 1;
    }
    const auto splats = splatsOfPoints(points);
    splatformats::SplatPLYSceneWriter writer{std::filesystem::path(arguments[1])};
    writer.start(0, true, int64_t(splats.size()));
    writer.write(splats);
    writer.close();
    std::cout << "Wrote " << splats.size() << " splats to " << arguments[1] << "\n";
    return 0;
}

const ToolCommand::Registration tourResultCommand({"tour-result", tourResultUsage, runTourResult});

}  // namespace

}  // namespace tessaron::tool
