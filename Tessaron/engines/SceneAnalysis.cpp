#include "engines/SceneAnalysis.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

namespace tessaron::engines {

namespace {

struct Extent {
    double minX = DBL_MAX, maxX = -DBL_MAX;
    double minZ = DBL_MAX, maxZ = -DBL_MAX;

    void add(double x, double z) {
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minZ = std::min(minZ, z);
        maxZ = std::max(maxZ, z);
    }
    double rangeX() const { return maxX - minX; }
    double rangeZ() const { return maxZ - minZ; }
    // The larger range, never below 1e-6 so it can divide.
    double size() const {
        double larger = std::max(rangeX(), rangeZ());
        return larger <= 1e-6 ? 1e-6 : larger;
    }
};

// Grid coordinate of `offset` in cells of `cellSize`, truncated and clamped
// to 0...count-1; nothing when it is not a finite 64-bit number.
std::optional<int64_t> gridIndex(double offset, double cellSize, int64_t count) {
    double position = std::trunc(offset / cellSize);
    if (!std::isfinite(position) || position < -9.2e18 || position > 9.2e18) return std::nullopt;
    return std::clamp(int64_t(position), int64_t(0), count - 1);
}

}  // namespace

std::optional<SceneAnalysis> SceneAnalysis::analyze(const std::filesystem::path& modelFolder, int64_t rows,
                                                    int64_t cols) {
    colmap::COLMAPModel model;
    try {
        model = colmap::COLMAPUtils::readModel(modelFolder);
    } catch (const std::exception&) {
        return std::nullopt;  // no model there, or a damaged one: nothing to show
    }
    return analyze(model, rows, cols);
}

std::optional<SceneAnalysis> SceneAnalysis::analyze(const colmap::COLMAPModel& model, int64_t rows, int64_t cols) {
    if (model.points3D.empty() || model.images.empty()) return std::nullopt;

    Extent scene;
    for (const auto& [id, point] : model.points3D) scene.add(point.x, point.z);

    // Camera centre C = -R^T t, R from the stored (unnormalised) quaternion.
    Extent cameras;
    for (const auto& [id, image] : model.images) {
        double qw = image.qw, qx = image.qx, qy = image.qy, qz = image.qz;
        double tx = image.tx, ty = image.ty, tz = image.tz;
        double cx = -((1 - 2 * qy * qy - 2 * qz * qz) * tx + (2 * qx * qy + 2 * qw * qz) * ty +
                      (2 * qx * qz - 2 * qw * qy) * tz);
        double cz = -((2 * qx * qz + 2 * qw * qy) * tx + (2 * qy * qz - 2 * qw * qx) * ty +
                      (1 - 2 * qx * qx - 2 * qy * qy) * tz);
        cameras.add(cx, cz);
    }

    SceneAnalysis analysis;
    analysis.cameraToSceneSpreadRatio = cameras.size() / scene.size();

    int64_t cells = 0;
    if (__builtin_mul_overflow(rows, cols, &cells)) return std::nullopt;
    if (cells < 2) {
        analysis.imageOverlapScore = 0;
        return analysis;
    }
    double cellWidth = scene.rangeX() / double(cols);
    double cellDepth = scene.rangeZ() / double(rows);
    if (!(cellWidth > 0) || !(cellDepth > 0)) {
        analysis.imageOverlapScore = 1;
        return analysis;
    }

    // Ids in ascending order (the map's order) beside their positions: a
    // binary search over flat arrays is much faster than walking map nodes.
    std::vector<uint64_t> pointIds;
    std::vector<std::pair<double, double>> positions;
    pointIds.reserve(model.points3D.size());
    positions.reserve(model.points3D.size());
    for (const auto& [id, point] : model.points3D) {
        pointIds.push_back(id);
        positions.emplace_back(point.x, point.z);
    }

    int64_t observedCellTotal = 0, countedImages = 0;
    std::vector<int64_t> observedCells;
    for (const auto& [id, image] : model.images) {
        observedCells.clear();
        for (const auto& keypoint : image.points2D) {
            if (keypoint.point3D_id == colmap::ImageModel::kNoPoint3D) continue;
            auto found = std::lower_bound(pointIds.begin(), pointIds.end(), keypoint.point3D_id);
            if (found == pointIds.end() || *found != keypoint.point3D_id) continue;
            auto [x, z] = positions[size_t(found - pointIds.begin())];
            std::optional<int64_t> column = gridIndex(x - scene.minX, cellWidth, cols);
            std::optional<int64_t> row = gridIndex(z - scene.minZ, cellDepth, rows);
            if (!column || !row) return std::nullopt;
            observedCells.push_back(*row * cols + *column);
        }
        if (observedCells.empty()) continue;
        std::sort(observedCells.begin(), observedCells.end());
        observedCellTotal += std::unique(observedCells.begin(), observedCells.end()) - observedCells.begin();
        ++countedImages;
    }

    double score = countedImages == 0 ? double(cells) / double(cells)
                                      : double(observedCellTotal) / double(countedImages) / double(cells);
    analysis.imageOverlapScore = std::min(score, 1.0);
    return analysis;
}

}  // namespace tessaron::engines
