// executeCells: the four quadrant models of a cell that ran out of memory.
#include <algorithm>
#include <array>
#include <cmath>

#include "partition/CellModels.hpp"
#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

namespace {

// A sub-cell trains only with at least this many images, whatever the rig.
constexpr size_t kMinimumQuadrantImages = 8;

std::array<CellBounds, 4> quadrantsOf(const CellBounds& box) {
    double midX = (box.minX + box.maxX) / 2;
    double midZ = (box.minZ + box.maxZ) / 2;
    return {CellBounds{box.minX, midX, box.minZ, midZ}, CellBounds{midX, box.maxX, box.minZ, midZ},
            CellBounds{box.minX, midX, midZ, box.maxZ}, CellBounds{midX, box.maxX, midZ, box.maxZ}};
}

CellBounds expandedQuadrant(const CellBounds& q) {
    double marginX = 0.2 * (q.maxX - q.minX);
    double marginZ = 0.2 * (q.maxZ - q.minZ);
    return {q.minX - marginX, q.maxX + marginX, q.minZ - marginZ, q.maxZ + marginZ};
}

}  // namespace

std::vector<MaterializedCell> VastGaussianPartitioner::executeCells(const std::string& parentCellId,
                                                                    const CellBounds& parentCore,
                                                                    const std::filesystem::path& modelFolder,
                                                                    const std::filesystem::path& partitionsFolder,
                                                                    const SceneNormalization& normalization,
                                                                    const PartitionLog& log) {
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };
    colmap::COLMAPModel model = colmap::COLMAPUtils::readModel(modelFolder);
    colmap::Point3DMap filtered = detail::filterSfMPoints(model.points3D, log);
    CameraCentreMap centres;
    for (const auto& [id, image] : model.images) centres.emplace_hint(centres.end(), id, detail::cameraCentre(image));

    const double cx = normalization.centerX, cz = normalization.centerZ, s = normalization.radius;
    CellBounds parent{cx + parentCore.minX * s, cx + parentCore.maxX * s, cz + parentCore.minZ * s,
                      cz + parentCore.maxZ * s};
    auto normalised = [&](const CellBounds& box) {
        return CellBounds{(box.minX - cx) / s, (box.maxX - cx) / s, (box.minZ - cz) / s, (box.maxZ - cz) / s};
    };

    std::vector<MaterializedCell> written;
    auto quadrants = quadrantsOf(parent);
    for (size_t index = 0; index < quadrants.size(); ++index) {
        const CellBounds& q = quadrants[index];
        const CellBounds expanded = expandedQuadrant(q);
        const std::string id = parentCellId + "_s" + std::to_string(index);

        colmap::Point3DMap points;
        for (const auto& [pointId, point] : filtered)
            if (expanded.contains(point.x, point.z)) points.emplace_hint(points.end(), pointId, point);

        int64_t camerasInside = 0;
        for (const auto& [imageId, centre] : centres)
            if (q.contains(centre.x, centre.z)) ++camerasInside;
        double area = std::max((q.maxX - q.minX) * (q.maxZ - q.minZ), 0.01);
        double threshold = 1.5 - 0.8 * std::min(double(camerasInside) / area / 10, 1.0);

        std::vector<int32_t> joined;
        for (const auto& [imageId, centre] : centres) {
            int64_t total = 0, inside = 0;
            double totalDistance = 0, insideDistance = 0;
            for (const auto& observation : model.images.at(imageId).points2D) {
                if (observation.point3D_id == colmap::ImageModel::kNoPoint3D) continue;
                auto point = filtered.find(observation.point3D_id);
                if (point == filtered.end()) continue;
                double distance = planner::distance3D(centre, {point->second.x, point->second.y, point->second.z});
                ++total;
                totalDistance += distance;
                if (q.contains(point->second.x, point->second.z)) {
                    ++inside;
                    insideDistance += distance;
                }
            }
            bool candidate = (total > 0 && double(inside) / double(total) >= 0.05) || inside >= 10;
            if (!candidate || total < 10 || inside < 1) continue;
            double meanAll = totalDistance / double(total);
            if (!(meanAll > 0.001)) continue;
            if ((insideDistance / double(inside)) / meanAll <= threshold) joined.push_back(imageId);
        }

        colmap::ImageMap images = cellmodels::cellImages(model.images, joined, points);
        if (images.size() < kMinimumQuadrantImages) {
            say("  " + id + ": only " + std::to_string(images.size()) + " images — skipping (need ≥" +
                std::to_string(kMinimumQuadrantImages) + ")");
            continue;
        }
        size_t pointCount = points.size();
        detail::normalizeModel(images, points, normalization);
        std::filesystem::path folder = cellmodels::writableModelFolder(partitionsFolder, id);
        colmap::COLMAPUtils::writeModel(model.cameras, images, points, folder);
        say("  " + id + ": " + std::to_string(images.size()) + " images, " + std::to_string(pointCount) +
            " points → written");
        written.push_back({id, folder, normalised(q), normalised(expanded)});
    }
    return written;
}

}  // namespace tessaron::partition
