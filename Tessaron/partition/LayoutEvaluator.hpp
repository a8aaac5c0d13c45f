#pragma once

// Layout evaluation for the planner, built for the split search's many
// candidate layouts. Internal to the partition library.
//
// A candidate layout is the current layout without the cell being split
// ("the base"), followed by one or two new cells. Everything that depends on
// the base alone (nearest base centroid per point, the base discs each point
// lies in, per-image observation counts, camera-to-centroid distances) is
// prepared once per split step; evaluating a candidate then only revisits the
// points near the new cells. The result is exactly that of evaluating the
// whole layout from scratch: the same distances, the same comparisons and the
// same tie rules (a base cell precedes the new ones, so it wins equal
// distances).

#include <cstdint>
#include <span>
#include <vector>

#include "partition/MemoryModel.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition::planner {

// The model with points and images numbered densely in ascending id order.
// Point records carry the dense number as their id, so that every "ascending
// id" rule of the planner holds on them unchanged.
struct SceneIndex {
    std::vector<uint64_t> pointIds;  // dense number -> COLMAP point id
    std::vector<double> x, y, z;
    std::vector<GroundPoint> records;
    std::vector<int32_t> imageIds;  // dense number -> image id
    std::vector<uint8_t> hasCentre;
    std::vector<Vec3> centres;
    // Per image: the dense numbers of its observed points that are in the
    // point table, in observation order (repeats kept).
    std::vector<uint32_t> observationStart, observationPoint;
    // The evaluator works on "slots": the points renumbered bin by bin in a
    // grid on the ground plane (ascending point number within a bin), so
    // that a candidate evaluation reads only the bins its new cells can
    // reach, and reads them in memory order. Each bin keeps the exact extent
    // of its points.
    struct BinBounds {
        double minX, maxX, minZ, maxZ;
    };
    std::vector<uint32_t> slotOfPoint, pointOfSlot;
    std::vector<double> slotX, slotZ;
    std::vector<uint32_t> observationSlot;  // observationPoint as slots
    // Per slot: the images observing its point, once per observation.
    std::vector<uint32_t> viewerStart, viewerImage;
    std::vector<uint32_t> binStart;  // slot ranges
    std::vector<BinBounds> binBounds;

    static SceneIndex build(const colmap::ImageMap& images, const colmap::Point3DMap& points,
                            const CameraCentreMap& cameraCentres);
    size_t pointCount() const noexcept { return pointIds.size(); }
    size_t imageCount() const noexcept { return imageIds.size(); }
    // Dense numbers of the ids that the index holds, ascending.
    std::vector<uint64_t> denseIds(std::span<const uint64_t> ids) const;
};

// What the evaluation needs of one cell.
struct CellShape {
    double centroidX = 0;
    double centroidZ = 0;
    double radius = 0;
    Vec3 centroid3D;
    double radius3D = 1e-6;
};
// `cluster` holds dense point numbers.
CellShape shapeOf(const SceneIndex& scene, const detail::Cluster& cluster);

struct EvalOutcome {
    std::vector<int64_t> expandedCounts;
    std::vector<int64_t> cameraCounts;
    std::vector<double> targetMems;
    std::vector<std::vector<uint32_t>> cameraSets;    // dense image numbers, ascending
    std::vector<std::vector<uint32_t>> expandedSets;  // dense point numbers; only when asked for
    int64_t dropped = 0;
    int64_t totalDemand = 0;
    double worstMem = 0;
    bool allFeasible = true;
};

// Holds no mutable state: prepare runs on the caller's thread (spreading its
// own work over every core), and several threads may evaluate candidates on
// one prepared base at once.
class LayoutEvaluator {
public:
    struct DiscEntry {
        uint32_t cell;
        uint32_t member;  // in the cell's expanded set with the base alone
        double distance;
    };

    struct Base {
        std::vector<CellShape> cells;
        // Per slot:
        std::vector<int32_t> nearest;  // -1 without a base cell
        std::vector<double> nearestSquared;
        // the base cells within 1.2 x radius, ascending.
        std::vector<uint32_t> discStart;
        std::vector<DiscEntry> discs;
        std::vector<int64_t> expandedCounts;
        std::vector<int32_t> observationCounts;   // image x base cell
        std::vector<double> centroidDistances;    // image x base cell
        std::vector<double> binNearestSquared;    // per bin: the largest nearestSquared of its points
    };

    LayoutEvaluator(const SceneIndex& scene, MemoryModel model, double budgetGB, double gaussiansPerPoint);

    Base prepare(std::vector<CellShape> baseCells) const;
    // The layout base cells + `added`, evaluated.
    EvalOutcome evaluate(const Base& base, std::span<const CellShape> added, bool withExpandedSets) const;
    // A whole layout from scratch.
    EvalOutcome evaluateWhole(std::vector<CellShape> cells, bool withExpandedSets) const;

private:
    template <typename Visit>
    void forEachPoint(const Base& base, std::span<const CellShape> added, bool everyPoint, Visit visit) const;

    const SceneIndex& scene_;
    MemoryModel model_;
    double budgetGB_;
    double gaussiansPerPoint_;
};

}  // namespace tessaron::partition::planner
