#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AtomicFile.hpp"
#include "core/Error.hpp"

namespace tessaron::partition {

// Positions and bounds of a plan live on the ground plane (the model's X/Z
// plane) in the plan's normalised frame, (p - center) / radius.

struct Point2D {
    double x = 0;
    double z = 0;

    bool operator==(const Point2D&) const = default;
};

struct CellBounds {
    double minX = 0;
    double maxX = 0;
    double minZ = 0;
    double maxZ = 0;

    // Every side inclusive; a NaN coordinate is never inside.
    bool contains(double x, double z) const noexcept;

    bool operator==(const CellBounds&) const = default;
};

struct SceneNormalization {
    double centerX = 0;
    double centerY = 0;
    double centerZ = 0;
    double radius = 1;

    bool operator==(const SceneNormalization&) const = default;
};

struct PartitionCell {
    std::string id;  // also the cell's folder name under partitions/
    CellBounds coreBounds;
    CellBounds expandedBounds;
    int64_t imageCount = 0;
    int64_t pointCount = 0;
    double estimatedMemoryGB = 0;
    int64_t depth = 0;
    int64_t recommendedCapMax = 0;
    int64_t recommendedIterations = 0;
    std::optional<std::vector<int32_t>> cameraIds;          // absent in older plans
    std::optional<std::vector<uint64_t>> expandedPointIds;  // absent in older plans

    bool operator==(const PartitionCell&) const = default;
};

// The partition plan, stored as partition_plan.json. A value type: a changed
// plan is a new value.
struct PartitionPlan {
    std::vector<PartitionCell> cells;
    int64_t totalImages = 0;
    int64_t totalPoints = 0;
    double physicalRAMGB = 0;
    double budgetGB = 0;
    int64_t downscaleFactor = 1;
    int64_t imageWidth = 0;
    int64_t imageHeight = 0;
    CellBounds sceneBounds;
    SceneNormalization normalization;
    std::optional<uint64_t> clusterSeed;  // absent: an old grid plan
    std::optional<std::vector<Point2D>> clusterCentroids;
    std::optional<int64_t> schemaVersion;
    std::optional<int64_t> viewsPerFrame;  // absent counts as 1
    std::optional<std::vector<std::string>> lostCellIds;

    bool operator==(const PartitionPlan&) const = default;

    // The plan's JSON cannot be produced: a number is not finite.
    class EncodeError : public core::Error {
    public:
        using core::Error::Error;
    };
    // The bytes are not a partition plan: malformed JSON, a missing required
    // key, a value of the wrong type, an unsafe or repeated cell id, a radius
    // that is not a normal positive number, or a plan beyond the bounds below.
    class DecodeError : public core::Error {
    public:
        using core::Error::Error;
    };
    // The plan's folder cannot be created.
    class FileError : public core::Error {
    public:
        using core::Error::Error;
    };

    // Bounds checked before a plan's JSON is parsed into a tree: a plan file
    // is written by the planner, and nothing it writes comes near them.
    static constexpr std::uint64_t maximumFileBytes = std::uint64_t(512) << 20;
    static constexpr int maximumNestingDepth = 8;
    static constexpr std::size_t maximumCellCount = 100'000;

    // Pretty-printed JSON with sorted keys; absent optionals are left out.
    std::string toJSON() const;
    static PartitionPlan fromJSON(std::string_view bytes);

    // Encodes first, then creates the parent folders, then replaces the file
    // atomically: a failure at any step leaves an existing file as it was.
    // `links` says what a symbolic link at the file's name means (replaced
    // for a workspace's own plan).
    void save(const std::filesystem::path& file,
              core::AtomicFile::LinkAtTarget links = core::AtomicFile::LinkAtTarget::follow) const;
    static PartitionPlan load(const std::filesystem::path& file);

    // Images of the scene that no trainable cell holds (in no cell, or only
    // in skipped ones); none for a plan without stored image ids.
    std::optional<int64_t> imagesInNoTrainedCell() const;

    // The smallest imageCount of a cell that is trained: 8 x viewsPerFrame
    // (values below 2 count as 1).
    int64_t minimumTrainableImages() const noexcept;
    std::vector<PartitionCell> trainableCells() const;
    std::vector<PartitionCell> skippedCells() const;

    // The (x, z) ownership centroid of plan cell "cell_<n>", normalised for a
    // plan of the old layout (no schemaVersion); none for any other id, or
    // when the plan has no centroids.
    std::optional<Point2D> clusterCentroid(const std::string& cellId) const;

    // The summary the pipeline logs before approval, lines joined by "\n".
    std::string printSummary() const;

    // A copy without the cells named `id`, with `newCells` appended; with
    // `markLost` the id is appended to lostCellIds.
    PartitionPlan replacingCell(const std::string& id, const std::vector<PartitionCell>& newCells,
                                bool markLost) const;
};

// Whether `id` can name a folder: one non-empty path component, not "." or "..".
bool isSafeCellId(std::string_view id) noexcept;

}  // namespace tessaron::partition
