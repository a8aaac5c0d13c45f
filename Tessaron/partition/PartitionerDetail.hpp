#pragma once

// The steps of VastGaussianPartitioner's planning and cell writing. Internal
// to the partition library and its tests; callers plan and write cells
// through VastGaussianPartitioner.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "partition/VastGaussianPartitioner.hpp"

namespace tessaron::partition {

// A COLMAP point on the ground plane: its id and its model X and Z.
struct GroundPoint {
    uint64_t id = 0;
    double x = 0;
    double z = 0;

    bool operator==(const GroundPoint&) const = default;
};

// Camera centre per image id.
using CameraCentreMap = std::map<int32_t, Vec3>;
using PointIdSet = std::unordered_set<uint64_t>;

namespace detail {

// One cell while the layout is chosen. pointIds is a set, kept as an
// ascending vector.
struct Cluster {
    double centroidX = 0;
    double centroidZ = 0;
    std::vector<uint64_t> pointIds;
    double radius = 0;

    bool operator==(const Cluster&) const = default;
};

struct LayoutEval {
    std::vector<std::vector<uint64_t>> expandedSets;  // ascending point ids per cluster
    std::vector<std::vector<int32_t>> cellCameraIds;  // ascending image ids per cluster
    int64_t dropped = 0;
    std::vector<int64_t> prodImageCounts;
    std::vector<double> targetMems;
    int64_t totalDemand = 0;
    double worstMem = 0;
    bool allFeasible = true;
};

struct Range {
    double low = 0;
    double high = 0;
};

struct ClusterGeometry3D {
    std::vector<Vec3> centroids;
    std::vector<double> radii;
};

struct CameraAssignment {
    std::vector<std::vector<int32_t>> cameraSets;  // ascending image ids per cluster
    int64_t dropped = 0;
};

struct PrincipalAxis {
    double cosTheta = 1;
    double sinTheta = 0;
    double meanX = 0;
    double meanZ = 0;
};

struct ClusterPartitionResult {
    std::vector<PartitionCell> cells;
    std::vector<Point2D> centroids;
};

// ---- Plan creation ----------------------------------------------------

// The per-cell budget: the RAM limit less 2.5 GB framework overhead, at least 1 GB.
double budgetGB(double ramLimitGB);
// The number of distinct "camN/" (or "N/") name prefixes when at least 2, else 1.
int64_t detectedViewsPerFrame(const colmap::ImageMap& images);
// C = -R^T t of the stored rotation quaternion (not renormalised).
Vec3 cameraCentre(const colmap::ImageModel& image);

// ---- Cluster partition ------------------------------------------------

ClusterPartitionResult clusterPartition(const colmap::ImageMap& images, const colmap::Point3DMap& points,
                                        const CameraCentreMap& cameraCentres, int64_t imageWidth, int64_t imageHeight,
                                        int64_t iterationFloor, int64_t gaussianBudget, uint64_t baseSeed,
                                        double budgetGB, int64_t viewsPerFrame, const PartitionLog& log = {},
                                        const PartitionProgressHandler& progress = {});

// Expanded sets (over every point of `points`), camera assignment and
// per-cell memory of one layout.
LayoutEval evaluateLayout(double budgetGB, double gaussiansPerPoint, const std::vector<Cluster>& layout,
                          const colmap::ImageMap& images, const colmap::Point3DMap& points,
                          const CameraCentreMap& cameraCentres, int64_t imageWidth, int64_t imageHeight);

// ---- Memory model -----------------------------------------------------

// The largest cap in [lo, hi] (to within 5000) whose predicted memory fits
// 0.99 x budget; lo when not even lo fits.
int64_t estimateMemoryAndCap(int64_t images, int64_t width, int64_t height, int64_t lo, int64_t hi, double budgetGB);

// ---- K-means ----------------------------------------------------------

std::vector<Cluster> kMeansXZ(std::span<const GroundPoint> points, int64_t k, uint64_t seed, int64_t iterations);
std::vector<Cluster> bisectLargest(std::span<const GroundPoint> points, int64_t k, uint64_t seed);

// ---- SfM filter and camera assignment ---------------------------------

colmap::Point3DMap filterSfMPoints(const colmap::Point3DMap& points, const PartitionLog& log = {});
Range robustRange(std::vector<double> values);
ClusterGeometry3D clusterCentroidsAndRadii3D(const std::vector<Cluster>& clusters, const colmap::Point3DMap& points);
CameraAssignment assignCameras(const colmap::ImageMap& images, const CameraCentreMap& cameraCentres,
                               const std::vector<Cluster>& clusters,
                               const std::vector<std::vector<uint64_t>>& expandedSets,
                               const std::vector<Vec3>& centroids3D, const std::vector<double>& radii3D,
                               const PartitionLog& log = {});

// ---- Cell models --------------------------------------------------------

// Maps images and points into the frame (p - center) / radius: point
// positions directly, image translations as (t + R c) / radius so that
// camera centres move alike. Rotations and cameras are unchanged.
void normalizeModel(colmap::ImageMap& images, colmap::Point3DMap& points, const SceneNormalization& normalization);

// Rebuilding the clusters of a plan without stored ids.
struct Overlap {
    int64_t n = 0;  // observations with a valid point id in the set
    double f = 0;   // n over all observations with a valid point id
};
PointIdSet expandedPointSet(size_t k, std::span<const GroundPoint> records, const std::vector<Cluster>& clusters,
                            double rate);
Overlap clusterOverlap(const colmap::ImageModel& image, const PointIdSet& ids);
// Mean distance from the centre to the image's points in `ids` over the
// mean distance to all its points; none with fewer than 10 points in
// the table, none in the set, or a mean distance of at most 0.001.
std::optional<double> distanceRatio(const Vec3& centre, const colmap::ImageModel& image, const PointIdSet& ids,
                                    const colmap::Point3DMap& points);

// ---- Split search -----------------------------------------------------

PrincipalAxis principalAxis(std::span<const GroundPoint> points);

// One split search: a cell's core points, the cameras that see it and the
// memory its halves are ranked against.
struct SplitOptions {
    std::span<const GroundPoint> corePoints = {};
    std::span<const Point2D> cameraPositions = {};
    // Observations of the cell's points per camera, in cameraPositions'
    // order; the visibility-balanced cuts use it when it holds one count per
    // camera.
    std::span<const int64_t> visibleCounts = {};
    double gaussiansPerPoint = 0;
    int64_t imageWidth = 0;
    int64_t imageHeight = 0;
    double budgetGB = 0;
    uint64_t seed = 0;
    bool balanced = false;  // add the camera- and visibility-balanced cuts

    // Throws VastGaussianPartitioner::OptionsError naming the first field
    // out of range.
    void check() const;
};

// Two-way splits of one cell's core points, best first by the memory
// model, plus the k-means split; `appended` receives the number of kept
// camera- and visibility-balanced cuts.
std::vector<std::vector<Cluster>> splitCandidates(const SplitOptions& options,
                                                  const std::function<void(int64_t appended)>& appended = {});

}  // namespace detail

}  // namespace tessaron::partition
