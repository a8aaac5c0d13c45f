#pragma once

// The steps shared by the cell writers: picking a cell's points and images
// out of the global model and writing them, normalised, as the cell's
// COLMAP model. Internal to the partition library.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition::cellmodels {

// Every filtered point whose id is in `pointIds`.
colmap::Point3DMap selectPoints(const colmap::Point3DMap& filtered, const PointIdSet& pointIds);

// Copies of the images of `imageIds` that the model holds (others are passed
// over), each observation of a point outside `cellPoints` set to no point.
template <typename ImageIds>
colmap::ImageMap cellImages(const colmap::ImageMap& images, const ImageIds& imageIds,
                             const colmap::Point3DMap& cellPoints) {
    colmap::ImageMap result;
    for (int32_t id : imageIds) {
        auto found = images.find(id);
        if (found == images.end()) continue;
        colmap::ImageModel image = found->second;
        for (auto& observation : image.points2D)
            if (observation.point3D_id != colmap::ImageModel::kNoPoint3D && !cellPoints.contains(observation.point3D_id))
                observation.point3D_id = colmap::ImageModel::kNoPoint3D;
        result.emplace(id, std::move(image));
    }
    return result;
}

// <partitionsFolder>/<cellId>/sparse/0
std::filesystem::path modelFolder(const std::filesystem::path& partitionsFolder, const std::string& cellId);
// The same, about to be written: a symbolic link at the cell's name, at its
// sparse or at sparse/0 is removed first, so that the model lands in the
// workspace, never where the link points. Throws core::FileError when a
// link cannot be removed.
std::filesystem::path writableModelFolder(const std::filesystem::path& partitionsFolder, const std::string& cellId);

// Logs "<id>: <image ids> images, <points> points → writing COLMAP data",
// normalises the cell's images and points and writes the three files.
template <typename ImageIds>
MaterializedCell writeCell(const PartitionCell& cell, const colmap::COLMAPModel& model, const ImageIds& imageIds,
                           size_t imageIdCount, colmap::Point3DMap cellPoints,
                           const SceneNormalization& normalization, const std::filesystem::path& partitionsFolder,
                           const PartitionLog& log) {
    colmap::ImageMap images = cellImages(model.images, imageIds, cellPoints);
    if (log)
        log(cell.id + ": " + std::to_string(imageIdCount) + " images, " + std::to_string(cellPoints.size()) +
            " points → writing COLMAP data");
    detail::normalizeModel(images, cellPoints, normalization);
    std::filesystem::path folder = writableModelFolder(partitionsFolder, cell.id);
    colmap::COLMAPUtils::writeModel(model.cameras, images, cellPoints, folder);
    return {cell.id, folder, cell.coreBounds, cell.expandedBounds};
}

// The plan branch for plans without stored ids: clusters rebuilt from the
// seed, then every trainable cell written. Skipped-cell lines are the
// caller's.
std::vector<MaterializedCell> reconstructLegacyCells(const PartitionPlan& plan,
                                                     const std::vector<PartitionCell>& trainable,
                                                     const colmap::COLMAPModel& model,
                                                     const colmap::Point3DMap& filtered,
                                                     const std::filesystem::path& partitionsFolder,
                                                     const PartitionLog& log, const MaterializationProgress& progress,
                                                     const CancelQuery& isCancelled);

}  // namespace tessaron::partition::cellmodels
