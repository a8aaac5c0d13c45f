#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/Error.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "partition/MaterializedCell.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/PartitionProgress.hpp"

namespace tessaron::partition {

// A COLMAP point on the ground plane: its id and its model X and Z.
struct GroundPoint {
    uint64_t id = 0;
    double x = 0;
    double z = 0;

    bool operator==(const GroundPoint&) const = default;
};

struct Vec3 {
    double x = 0;
    double y = 0;
    double z = 0;

    bool operator==(const Vec3&) const = default;
};

// Camera centre per image id.
using CameraCentreMap = std::map<int32_t, Vec3>;
using PartitionLog = std::function<void(const std::string& line)>;
using PartitionProgressHandler = std::function<void(const PartitionProgress& progress)>;
// Cells written so far and cells to write.
using MaterializationProgress = std::function<void(int64_t written, int64_t total)>;
// Asked before each cell is written; true stops the work.
using CancelQuery = std::function<bool()>;
using PointIdSet = std::unordered_set<uint64_t>;

// Plans the cells of a large scene from its COLMAP model and a memory budget
// ("VastGaussian" partitioning). Every operation is a stateless, synchronous
// call that runs on the caller's thread and calls the optional log and
// progress closures on that thread. Results are deterministic: a seeded
// generator, sorted iteration and explicit tie-breaks, so the same input gives
// the same plan on every run, build and machine.
class VastGaussianPartitioner {
public:
    // nonFiniteCoordinate: the plan's normalisation would write a coordinate
    // that is infinite or NaN into a cell model.
    enum class PartitionErrorKind { noImages, noPoints, noCameras, legacyPlanFormat, nonFiniteCoordinate };

    class PartitionError : public core::ErrorOf<PartitionErrorKind> {
    public:
        explicit PartitionError(PartitionErrorKind kind);
        static std::string message(PartitionErrorKind kind);
    };

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

    // Reads the model in `modelFolder` (cameras.bin, images.bin,
    // points3D.bin) and plans it. Throws the reader's error unchanged, or a
    // PartitionError for a model without images, points or cameras.
    static PartitionPlan createPlan(const std::filesystem::path& modelFolder, int64_t downscaleFactor,
                                    int64_t iterationFloor, int64_t gaussianBudget, std::optional<double> ramLimitGB,
                                    int64_t viewsPerFrame, const PartitionLog& log = {},
                                    const PartitionProgressHandler& progress = {});

    // The same for a model already in memory; logs from the "Loaded ..." line on.
    static PartitionPlan createPlan(const colmap::COLMAPModel& model, int64_t downscaleFactor, int64_t iterationFloor,
                                    int64_t gaussianBudget, std::optional<double> ramLimitGB, int64_t viewsPerFrame,
                                    const PartitionLog& log = {}, const PartitionProgressHandler& progress = {});

    // The RAM limit a plan is made for: the given limit, else the machine's
    // physical memory less 3 GB, at least 4 GB.
    static double ramLimitGB(std::optional<double> requestedGB, uint64_t physicalMemoryBytes);
    // The per-cell budget: the RAM limit less 2.5 GB framework overhead, at least 1 GB.
    static double budgetGB(double ramLimitGB);
    // The number of distinct "camN/" (or "N/") name prefixes when at least 2, else 1.
    static int64_t detectedViewsPerFrame(const colmap::ImageMap& images);
    // C = -R^T t of the stored rotation quaternion (not renormalised).
    static Vec3 cameraCentre(const colmap::ImageModel& image);

    // ---- Cluster partition ------------------------------------------------

    static ClusterPartitionResult clusterPartition(const colmap::ImageMap& images, const colmap::Point3DMap& points,
                                                   const CameraCentreMap& cameraCentres, int64_t imageWidth,
                                                   int64_t imageHeight, int64_t iterationFloor,
                                                   int64_t gaussianBudget, uint64_t baseSeed, double budgetGB,
                                                   int64_t viewsPerFrame, const PartitionLog& log = {},
                                                   const PartitionProgressHandler& progress = {});

    // Expanded sets (over every point of `points`), camera assignment and
    // per-cell memory of one layout.
    static LayoutEval evaluateLayout(double budgetGB, double gaussiansPerPoint, const std::vector<Cluster>& layout,
                                     const colmap::ImageMap& images, const colmap::Point3DMap& points,
                                     const CameraCentreMap& cameraCentres, int64_t imageWidth, int64_t imageHeight);

    // ---- Memory model -----------------------------------------------------

    // The largest cap in [lo, hi] (to within 5000) whose predicted memory fits
    // 0.99 x budget; lo when not even lo fits.
    static int64_t estimateMemoryAndCap(int64_t images, int64_t width, int64_t height, int64_t lo, int64_t hi,
                                        double budgetGB);

    // ---- K-means ----------------------------------------------------------

    static std::vector<Cluster> kMeansXZ(std::span<const GroundPoint> points, int64_t k, uint64_t seed,
                                         int64_t iterations);
    static std::vector<Cluster> bisectLargest(std::span<const GroundPoint> points, int64_t k, uint64_t seed);

    // ---- SfM filter and camera assignment ---------------------------------

    static colmap::Point3DMap filterSfMPoints(const colmap::Point3DMap& points, const PartitionLog& log = {});
    static Range robustRange(std::vector<double> values);
    static ClusterGeometry3D clusterCentroidsAndRadii3D(const std::vector<Cluster>& clusters,
                                                        const colmap::Point3DMap& points);
    static CameraAssignment assignCameras(const colmap::ImageMap& images, const CameraCentreMap& cameraCentres,
                                          const std::vector<Cluster>& clusters,
                                          const std::vector<std::vector<uint64_t>>& expandedSets,
                                          const std::vector<Vec3>& centroids3D, const std::vector<double>& radii3D,
                                          const PartitionLog& log = {});

    // ---- Cell models --------------------------------------------------------

    // Writes <partitionsFolder>/<cell id>/sparse/0 for every trainable cell
    // (only those in `cellIds` when given), in the plan's normalised frame.
    // Plans without stored ids have their clusters rebuilt from the seed.
    // Throws PartitionError::legacyPlanFormat for an unusable plan, the
    // model's read and write errors, and core::CancellationError when
    // `isCancelled` answers true before a cell; cells written before stay.
    static std::vector<MaterializedCell> executePartition(const PartitionPlan& plan,
                                                          const std::filesystem::path& modelFolder,
                                                          const std::filesystem::path& partitionsFolder,
                                                          const std::optional<std::set<std::string>>& cellIds = {},
                                                          const PartitionLog& log = {},
                                                          const MaterializationProgress& progress = {},
                                                          const CancelQuery& isCancelled = {});

    // Cuts a cell that ran out of memory into four quadrants and writes a
    // model for each quadrant with at least 8 images, as "<parent>_s<i>".
    static std::vector<MaterializedCell> executeCells(const std::string& parentCellId, const CellBounds& parentCore,
                                                      const std::filesystem::path& modelFolder,
                                                      const std::filesystem::path& partitionsFolder,
                                                      const SceneNormalization& normalization,
                                                      const PartitionLog& log = {});

    // Maps images and points into the frame (p - center) / radius: point
    // positions directly, image translations as (t + R c) / radius so that
    // camera centres move alike. Rotations and cameras are unchanged.
    static void normalizeModel(colmap::ImageMap& images, colmap::Point3DMap& points,
                               const SceneNormalization& normalization);

    // Rebuilding the clusters of a plan without stored ids.
    struct Overlap {
        int64_t n = 0;   // observations with a valid point id in the set
        double f = 0;    // n over all observations with a valid point id
    };
    static PointIdSet expandedPointSet(size_t k, std::span<const GroundPoint> records,
                                       const std::vector<Cluster>& clusters, double rate);
    static Overlap clusterOverlap(const colmap::ImageModel& image, const PointIdSet& ids);
    // Mean distance from the centre to the image's points in `ids` over the
    // mean distance to all its points; none with fewer than 10 points in
    // the table, none in the set, or a mean distance of at most 0.001.
    static std::optional<double> distanceRatio(const Vec3& centre, const colmap::ImageModel& image,
                                               const PointIdSet& ids, const colmap::Point3DMap& points);

    // ---- Split search -----------------------------------------------------

    static PrincipalAxis principalAxis(std::span<const GroundPoint> points);

    // Two-way splits of one cell's core points, best first by the memory
    // model, plus the k-means split; `appended` receives the number of kept
    // camera- and visibility-balanced cuts.
    static std::vector<std::vector<Cluster>> splitCandidates(
        double gaussiansPerPoint, std::span<const GroundPoint> corePoints,
        std::span<const Point2D> cameraPositions, int64_t imageWidth, int64_t imageHeight, double budgetGB,
        uint64_t seed, const std::optional<std::vector<int64_t>>& visibleCounts, bool balanced,
        const std::function<void(int64_t appended)>& appended = {});
};

}  // namespace tessaron::partition
