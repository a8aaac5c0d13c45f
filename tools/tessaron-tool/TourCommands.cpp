// The guided tour's sample result, made from the tour's sample COLMAP model.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "ToolCommand.hpp"
#include "engines/COLMAPUtils.hpp"

namespace tessaron::tool {

namespace {

const char* const tourResultUsage =
    "<sparse/0> <out.ply>: write a Gaussian PLY with one splat per point of a COLMAP model, in its colour, sized "
    "by the model's mean point spacing (the tour's sample result)";

// The splats of a model's points: round, mostly opaque, unrotated, as wide
// as the points' mean spacing over the model's bounding box.
std::vector<splatformats::SplatPoint> splatsOfPoints(const engines::Point3DMap& points) {
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
    for (size_t axis = 0; axis < 3; ++axis) volume *= std::max(high[axis] - low[axis], 1e-3);
    const double spacing = std::cbrt(volume / double(std::max<size_t>(points.size(), 1)));
    const float logScale = float(std::log(std::max(spacing * 0.3, 1e-6)));

    std::vector<splatformats::SplatPoint> splats;
    splats.reserve(points.size());
    for (const auto& [id, point] : points)
        splats.emplace_back(splatformats::Vector3{float(point.x), float(point.y), float(point.z)},
                            splatformats::SplatPoint::Color::sRGBUInt8({point.r, point.g, point.b}),
                            splatformats::SplatPoint::Opacity::linearFloat(0.9f),
                            splatformats::SplatPoint::Scale::exponent({logScale, logScale, logScale}),
                            splatformats::Quaternion{});
    return splats;
}

int runTourResult(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) return usageError(std::string("usage: tour-result ") + tourResultUsage);
    const auto points = engines::COLMAPUtils::readPoints3D(std::filesystem::path(arguments[0]) / "points3D.bin");
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
