// executePartition: one COLMAP model per trainable cell of an approved plan.
#include <cmath>

#include "core/Error.hpp"
#include "core/FileError.hpp"
#include "partition/CellModels.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

namespace cellmodels {

colmap::Point3DMap selectPoints(const colmap::Point3DMap& filtered, const PointIdSet& pointIds) {
    colmap::Point3DMap result;
    // Walk the smaller side, so a small cell of a large scene costs little.
    if (pointIds.size() < filtered.size()) {
        for (uint64_t id : pointIds)
            if (auto found = filtered.find(id); found != filtered.end()) result.emplace(id, found->second);
    } else {
        for (const auto& [id, point] : filtered)
            if (pointIds.contains(id)) result.emplace_hint(result.end(), id, point);
    }
    return result;
}

std::filesystem::path modelFolder(const std::filesystem::path& partitionsFolder, const std::string& cellId) {
    return partitionsFolder / cellId / "sparse" / "0";
}

std::filesystem::path writableModelFolder(const std::filesystem::path& partitionsFolder, const std::string& cellId) {
    const std::filesystem::path cellFolder = partitionsFolder / cellId;
    for (const std::filesystem::path& folder : {cellFolder, cellFolder / "sparse", cellFolder / "sparse" / "0"}) {
        std::error_code error;
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(folder, error))) {
            std::filesystem::remove(folder, error);
            if (error) throw core::FileError("Could not remove the link", folder, error);
        }
    }
    return modelFolder(partitionsFolder, cellId);
}

}  // namespace cellmodels

void detail::normalizeModel(colmap::ImageMap& images, colmap::Point3DMap& points,
           const SceneNormalization& normalization) {
    const double cx = normalization.centerX, cy = normalization.centerY, cz = normalization.centerZ;
    const double s = normalization.radius;
    for (auto& [id, point] : points) {
        point.x = (point.x - cx) / s;
        point.y = (point.y - cy) / s;
        point.z = (point.z - cz) / s;
    }
    for (auto& [id, image] : images) {
        // The stored quaternion's matrix, not renormalised, as the camera
        // centres of the plan were computed.
        double w = image.qw, x = image.qx, y = image.qy, z = image.qz;
        double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z), r02 = 2 * (x * z + w * y);
        double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z), r12 = 2 * (y * z - w * x);
        double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
        image.tx = (image.tx + (r00 * cx + r01 * cy + r02 * cz)) / s;
        image.ty = (image.ty + (r10 * cx + r11 * cy + r12 * cz)) / s;
        image.tz = (image.tz + (r20 * cx + r21 * cy + r22 * cz)) / s;
    }
    // A model with infinite coordinates trains into nonsense and exits 0.
    auto finite = [](double x, double y, double z) { return std::isfinite(x) && std::isfinite(y) && std::isfinite(z); };
    using Error = VastGaussianPartitioner::PartitionError;
    constexpr auto nonFinite = VastGaussianPartitioner::PartitionErrorKind::nonFiniteCoordinate;
    for (const auto& [id, point] : points)
        if (!finite(point.x, point.y, point.z)) throw Error(nonFinite);
    for (const auto& [id, image] : images)
        if (!finite(image.tx, image.ty, image.tz)) throw Error(nonFinite);
}

std::vector<MaterializedCell> VastGaussianPartitioner::executePartition(
    const PartitionPlan& plan, const std::filesystem::path& modelFolder,
    const std::filesystem::path& partitionsFolder, const std::optional<std::set<std::string>>& cellIds,
    const PartitionLog& log, const MaterializationProgress& progress, const CancelQuery& isCancelled) {
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };
    if (!plan.clusterSeed) throw PartitionError(PartitionErrorKind::legacyPlanFormat);
    std::vector<PartitionCell> trainable = plan.trainableCells();
    // A resume names cells by their stored ids; a plan without them cannot say which.
    if (cellIds && (trainable.empty() || !trainable.front().cameraIds))
        throw PartitionError(PartitionErrorKind::legacyPlanFormat);

    say("Loading COLMAP data for partitioning...");
    colmap::COLMAPModel model = colmap::COLMAPUtils::readModel(modelFolder);
    colmap::Point3DMap filtered = detail::filterSfMPoints(model.points3D, log);

    std::vector<MaterializedCell> records;
    if (trainable.empty() || !trainable.front().cameraIds) {
        records = cellmodels::reconstructLegacyCells(plan, trainable, model, filtered, partitionsFolder, log, progress,
                                                     isCancelled);
    } else {
        say("Using plan-persisted camera/point assignments (no cluster reconstruction)");
        std::vector<const PartitionCell*> toWrite;
        for (const auto& cell : trainable)
            if (!cellIds || cellIds->contains(cell.id)) toWrite.push_back(&cell);
        const int64_t total = int64_t(toWrite.size());
        if (progress) progress(0, total);

        for (const PartitionCell* cell : toWrite) {
            if (isCancelled && isCancelled()) throw core::CancellationError();
            std::unordered_set<int32_t> imageIds;
            if (cell->cameraIds) imageIds.insert(cell->cameraIds->begin(), cell->cameraIds->end());
            colmap::Point3DMap cellPoints;
            if (trainable.size() == 1) {
                say("Single-cell scene: keeping all " + std::to_string(filtered.size()) +
                    " points (background declip)");
                cellPoints = filtered;
            } else if (cell->expandedPointIds) {
                PointIdSet pointIds(cell->expandedPointIds->begin(), cell->expandedPointIds->end());
                cellPoints = cellmodels::selectPoints(filtered, pointIds);
            }
            records.push_back(cellmodels::writeCell(*cell, model, imageIds, imageIds.size(), std::move(cellPoints),
                                                    plan.normalization, partitionsFolder, log));
            if (progress) progress(int64_t(records.size()), total);
        }
    }

    const std::string minimum = std::to_string(plan.minimumTrainableImages());
    for (const auto& cell : plan.skippedCells())
        say(cell.id + ": " + std::to_string(cell.imageCount) + " images → skipped (need ≥" + minimum + ")");
    return records;
}

}  // namespace tessaron::partition
