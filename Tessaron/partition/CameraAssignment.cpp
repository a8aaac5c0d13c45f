// SfM quality filter, robust ranges, 3D cluster geometry and camera assignment.
#include <algorithm>
#include <cmath>

#include "core/NumberText.hpp"
#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

using core::fixedText;

colmap::Point3DMap detail::filterSfMPoints(const colmap::Point3DMap& points, const PartitionLog& log) {
    if (points.size() < 10) return points;
    double count = double(points.size());
    double sum = 0;
    for (const auto& [id, point] : points) sum += point.error;
    double mean = sum / count;
    double squares = 0;
    for (const auto& [id, point] : points) squares += (point.error - mean) * (point.error - mean);
    double sigma = std::sqrt(squares / count);
    double threshold = mean + 2 * sigma;

    colmap::Point3DMap kept;
    for (const auto& [id, point] : points)
        if (point.error <= threshold) kept.emplace_hint(kept.end(), id, point);

    if (log) {
        size_t removed = points.size() - kept.size();
        log("SfM quality filter: " + std::to_string(points.size()) + " → " + std::to_string(kept.size()) +
            " points (removed " + std::to_string(removed) + ", " + fixedText(double(removed) / count * 100, 1) + "%)");
        log("  Reprojection error threshold: " + fixedText(threshold, 3) + " px (mean=" + fixedText(mean, 3) +
            ", σ=" + fixedText(sigma, 3) + ")");
    }
    return kept;
}

detail::Range detail::robustRange(std::vector<double> values) {
    size_t n = values.size();
    if (n == 0) return {0, 0};
    if (n < 4) {
        planner::sortAscending(values);
        return {values[0], values[n - 1]};
    }
    // Only four order statistics of the sorted list are needed; selecting
    // them in rising order gives the same values as a full sort.
    size_t ranks[4] = {n / 50, n / 4, 3 * n / 4, std::min(98 * n / 100, n - 1)};
    double picked[4];
    size_t from = 0;
    for (int index = 0; index < 4; ++index) {
        planner::selectAscending(values, from, ranks[index]);
        picked[index] = values[ranks[index]];
        from = ranks[index];
    }
    double p2 = picked[0], q1 = picked[1], q3 = picked[2], p98 = picked[3];
    double iqr = q3 - q1;
    return {std::max(q1 - 1.5 * iqr, p2), std::min(q3 + 1.5 * iqr, p98)};
}

detail::ClusterGeometry3D detail::clusterCentroidsAndRadii3D(
    const std::vector<Cluster>& clusters, const colmap::Point3DMap& points) {
    ClusterGeometry3D geometry;
    for (const auto& cluster : clusters) {
        std::vector<Vec3> positions;
        for (uint64_t id : cluster.pointIds) {
            auto found = points.find(id);
            if (found != points.end()) positions.push_back({found->second.x, found->second.y, found->second.z});
        }
        auto [centroid, radius] =
            planner::centroidAndRobustRadius3D(positions.size(), [&](size_t index) { return positions[index]; });
        geometry.centroids.push_back(centroid);
        geometry.radii.push_back(radius);
    }
    return geometry;
}

detail::CameraAssignment detail::assignCameras(
    const colmap::ImageMap& images, const CameraCentreMap& cameraCentres, const std::vector<Cluster>& clusters,
    const std::vector<std::vector<uint64_t>>& expandedSets, const std::vector<Vec3>& centroids3D,
    const std::vector<double>& radii3D, const PartitionLog& log) {
    CameraAssignment result;
    size_t cellCount = clusters.size();
    result.cameraSets.resize(cellCount);
    std::vector<int64_t> counts(cellCount);
    std::vector<double> distances(cellCount);
    std::vector<uint32_t> joined;
    for (const auto& [imageId, image] : images) {
        auto centre = cameraCentres.find(imageId);
        if (centre == cameraCentres.end()) continue;
        std::fill(counts.begin(), counts.end(), 0);
        for (const auto& observation : image.points2D) {
            if (observation.point3D_id == colmap::ImageModel::kNoPoint3D) continue;
            for (size_t cell = 0; cell < cellCount; ++cell)
                if (std::binary_search(expandedSets[cell].begin(), expandedSets[cell].end(), observation.point3D_id))
                    ++counts[cell];
        }
        for (size_t cell = 0; cell < cellCount; ++cell)
            distances[cell] = planner::distance3D(centre->second, centroids3D[cell]);
        if (!planner::chooseCameraCells<int64_t>(counts, distances, radii3D, joined)) {
            ++result.dropped;
            continue;
        }
        for (uint32_t cell : joined) result.cameraSets[cell].push_back(imageId);
    }
    if (log) {
        for (size_t cell = 0; cell < cellCount; ++cell)
            log("  Cluster " + std::to_string(cell) + ": " + std::to_string(result.cameraSets[cell].size()) +
                " cameras assigned");
        if (result.dropped > 0)
            log("  Dropped " + std::to_string(result.dropped) +
                " camera(s) with < 10 points observed anywhere (SfM failures)");
    }
    return result;
}

}  // namespace tessaron::partition
