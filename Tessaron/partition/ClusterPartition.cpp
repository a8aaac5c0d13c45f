// Strict-Voronoi N-selection: split the cell with the largest predicted
// memory until every cell fits the budget, then size every cell.
#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>

#include "core/NumberText.hpp"
#include "engines/TrainingLimits.hpp"
#include "partition/LayoutEvaluator.hpp"
#include "core/ParallelFor.hpp"
#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

using core::fixedText;
using planner::CellShape;
using planner::EvalOutcome;
using Cluster = detail::Cluster;

namespace {

std::string text(int64_t value) { return std::to_string(value); }
std::string text(size_t value) { return std::to_string(value); }
std::string plural(size_t count) { return count == 1 ? "" : "s"; }

std::string bracketed(const std::vector<int64_t>& values) {
    std::string result = "[";
    for (size_t index = 0; index < values.size(); ++index) result += (index ? ", " : "") + text(values[index]);
    return result + "]";
}

std::vector<Point2D> centroidsOf(const std::vector<Cluster>& layout) {
    std::vector<Point2D> centroids;
    for (const auto& cluster : layout) centroids.push_back({cluster.centroidX, cluster.centroidZ});
    return centroids;
}

// (cells needed, total memory, worst memory), smaller first.
using LayoutScore = std::tuple<int64_t, double, double>;

struct PassResult {
    std::vector<Cluster> layout;  // dense point numbers
    EvalOutcome outcome;          // with expanded sets
    double totalMemory = 0;
};

// One plan computation. Owned by the calling thread; only the candidate
// evaluations fan out to helper threads, which read the shared state and
// write their own slot.
class NSelection {
public:
    NSelection(const planner::SceneIndex& scene, std::vector<GroundPoint> corePoints, MemoryModel model,
               double budgetGB, double gaussiansPerPoint, int64_t imageWidth, int64_t imageHeight,
               uint64_t baseSeed, const PartitionLog& log, const PartitionProgressHandler& progress)
        : scene_(scene),
          corePoints_(std::move(corePoints)),
          model_(model),
          evaluator_(scene, model, budgetGB, gaussiansPerPoint),
          budgetGB_(budgetGB),
          gaussiansPerPoint_(gaussiansPerPoint),
          imageWidth_(imageWidth),
          imageHeight_(imageHeight),
          baseSeed_(baseSeed),
          overhead_(model.fixedOverheadGB()),
          room_(std::max(0.1, budgetGB - model.fixedOverheadGB())),
          log_(log),
          progress_(progress) {}

    PassResult run() {
        PassResult incumbent = runPass(false);
        if (!endgameSplitSeen_) return incumbent;
        say("  ↻ N-selection pass B: balanced-family generator enabled at endgame splits");
        PassResult challenger = runPass(true);
        bool incumbentFeasible = incumbent.outcome.allFeasible;
        bool challengerFeasible = challenger.outcome.allFeasible;
        bool balancedWins = incumbentFeasible == challengerFeasible
                                ? challenger.layout.size() < incumbent.layout.size()
                                : challengerFeasible;
        say("  ⚖ plan arbitration: incumbent N=" + text(incumbent.layout.size()) + " feasible=" +
            flag(incumbentFeasible) + " total=" + fixedText(incumbent.totalMemory, 2) +
            " worst=" + fixedText(incumbent.outcome.worstMem, 2) + " GB vs balanced N=" +
            text(challenger.layout.size()) + " feasible=" + flag(challengerFeasible) +
            " total=" + fixedText(challenger.totalMemory, 2) + " worst=" + fixedText(challenger.outcome.worstMem, 2) +
            " GB → " + (balancedWins ? "balanced" : "incumbent"));
        return balancedWins ? std::move(challenger) : std::move(incumbent);
    }

    void report(const std::string& phase, const std::vector<Cluster>& layout) const {
        if (progress_) progress_(PartitionProgress{phase, centroidsOf(layout), int64_t(layout.size())});
    }
    void say(const std::string& line) const {
        if (log_) log_(line);
    }

private:
    static std::string flag(bool value) { return value ? "true" : "false"; }

    std::vector<CellShape> shapesOf(const std::vector<Cluster>& clusters) const {
        std::vector<CellShape> shapes;
        for (const auto& cluster : clusters) shapes.push_back(planner::shapeOf(scene_, cluster));
        return shapes;
    }

    LayoutScore scoreOf(const EvalOutcome& outcome) const {
        int64_t cellsNeeded = 0;
        double total = 0;
        for (double memory : outcome.targetMems) {
            cellsNeeded += planner::partsNeeded(memory, overhead_, room_);
            total += memory;
        }
        return {cellsNeeded, total, outcome.worstMem};
    }

    PassResult runPass(bool balancedFamily) {
        std::vector<Cluster> layout = detail::bisectLargest(corePoints_, 1, baseSeed_);
        std::vector<CellShape> shapes = shapesOf(layout);
        EvalOutcome outcome = evaluator_.evaluateWhole(shapes, false);
        std::vector<double> improvements;
        double previousExcess = 0;
        bool firstEvaluation = true;
        std::optional<size_t> lastReported;

        while (true) {
            size_t cellCount = layout.size();
            std::string n = text(cellCount);
            if (lastReported != cellCount) {
                report("Splitting scene — testing " + n + " cell" + plural(cellCount) + "…", layout);
                lastReported = cellCount;
            }
            say("  N=" + n + ": Σdemand=" + text(outcome.totalDemand / 1000) +
                "K worst-cell=" + fixedText(outcome.worstMem, 2) + " GB @85% demand / budget " +
                fixedText(budgetGB_, 2) + " GB feasible=" + flag(outcome.allFeasible) + " prod counts " +
                bracketed(outcome.cameraCounts) + ", dropped " + text(outcome.dropped));
            if (outcome.allFeasible) {
                say("  ✓ N = " + n + ": every cell reaches ≥85% of demand within budget (worst " +
                    fixedText(outcome.worstMem, 2) + " GB ≤ " + fixedText(budgetGB_, 2) + " GB)");
                break;
            }

            double excess = outcome.worstMem - budgetGB_;
            if (!firstEvaluation) {
                improvements.push_back(previousExcess - excess);
                size_t from = improvements.size() >= 3 ? improvements.size() - 3 : 0;
                double sum = 0;
                for (size_t index = from; index < improvements.size(); ++index) sum += improvements[index];
                double delta = sum / double(improvements.size() - from);
                if (improvements.size() >= 3 &&
                    (delta <= 0.02 || double(cellCount) + std::ceil(excess / delta) > 64)) {
                    say("  ⚠ N=" + n + ": splitting no longer converges (Δ≈" + fixedText(delta, 2) +
                        " GB/split, worst cell " + fixedText(excess, 2) +
                        " GB over budget). Stopping best-effort — this RAM limit forces a quality compromise on "
                        "this scene; raise the App Memory Limit or increase downscale. Cap will be budget-clamped "
                        "on the over-budget cell(s).");
                    break;
                }
            }
            firstEvaluation = false;
            if (cellCount >= 64) {
                say("  ⚠ N=64 still can't fit every cell's demand. Best-effort (cap may be budget-clamped).");
                break;
            }

            size_t worst = planner::indexOfLargest(outcome.targetMems).value_or(0);
            std::vector<GroundPoint> worstCore;
            for (uint64_t dense : layout[worst].pointIds) worstCore.push_back(scene_.records[dense]);
            if (worstCore.size() < 2) {
                say("  ⚠ N=" + n + ": largest cell too small to split; accepting.");
                break;
            }

            std::vector<uint32_t> cameraImages;
            std::vector<Point2D> cameraPositions;
            for (uint32_t image : outcome.cameraSets[worst]) {
                if (!scene_.hasCentre[image]) continue;
                cameraImages.push_back(image);
                cameraPositions.push_back({scene_.centres[image].x, scene_.centres[image].z});
            }

            bool endgame = outcome.targetMems[worst] <= 2.5 * budgetGB_;
            bool balanced = balancedFamily && endgame;
            if (!balancedFamily && endgame) endgameSplitSeen_ = true;

            std::vector<int64_t> visibleCounts;
            if (balanced) visibleCounts = visibleCountsOf(layout[worst], cameraImages);

            std::vector<CellShape> baseShapes = shapes;
            baseShapes.erase(baseShapes.begin() + std::ptrdiff_t(worst));
            planner::LayoutEvaluator::Base base = evaluator_.prepare(std::move(baseShapes));

            int64_t appendedCount = 0;
            std::vector<std::vector<Cluster>> candidates =
                detail::splitCandidates({.corePoints = worstCore,
                                         .cameraPositions = cameraPositions,
                                         .visibleCounts = visibleCounts,
                                         .gaussiansPerPoint = gaussiansPerPoint_,
                                         .imageWidth = imageWidth_,
                                         .imageHeight = imageHeight_,
                                         .budgetGB = budgetGB_,
                                         .seed = uint64_t(cellCount) + baseSeed_,
                                         .balanced = balanced},
                                        [&](int64_t appended) { appendedCount = appended; });
            int64_t refinedCount = 0;
            if (balanced && worstCore.size() >= 8) refinedCount = refine(base, worstCore, candidates);

            // Evaluated in parallel, chosen in order: the tie rule (a later
            // candidate wins only when strictly better) is unaffected.
            std::vector<std::optional<EvalOutcome>> outcomes(candidates.size());
            std::vector<std::vector<CellShape>> candidateShapes(candidates.size());
            core::parallelFor(candidates.size(), [&](size_t index) {
                // A k-means result without two clusters (coincident points) is no split.
                if (candidates[index].size() < 2) return;
                candidateShapes[index] = shapesOf(candidates[index]);
                outcomes[index] = evaluator_.evaluate(base, candidateShapes[index], false);
            });
            std::optional<size_t> best;
            LayoutScore bestScore;
            for (size_t index = 0; index < candidates.size(); ++index) {
                if (!outcomes[index]) continue;
                const auto& counts = outcomes[index]->cameraCounts;
                if (counts[counts.size() - 2] < 1 || counts[counts.size() - 1] < 1) continue;
                LayoutScore score = scoreOf(*outcomes[index]);
                if (!best || score < bestScore) {
                    best = index;
                    bestScore = score;
                }
            }
            if (!best) {
                say("  ⚠ N=" + n + ": largest cell produced no split candidates; accepting.");
                break;
            }

            say("  ⚖ split cell_" + text(worst) + " (" + text(candidates.size()) + " candidate cut" +
                plural(candidates.size()) + ", +" + text(appendedCount) + " appended, +" + text(refinedCount) +
                " refined): worst-cell " + fixedText(outcome.worstMem, 2) + " → " +
                fixedText(outcomes[*best]->worstMem, 2) + " GB, projected ≥" + text(std::get<0>(bestScore)) +
                " cells");
            layout.erase(layout.begin() + std::ptrdiff_t(worst));
            shapes.erase(shapes.begin() + std::ptrdiff_t(worst));
            for (size_t half = 0; half < candidates[*best].size(); ++half) {
                layout.push_back(std::move(candidates[*best][half]));
                shapes.push_back(candidateShapes[*best][half]);
            }
            outcome = std::move(*outcomes[*best]);
            previousExcess = excess;
        }

        PassResult result;
        result.outcome = evaluator_.evaluateWhole(shapes, true);
        for (double memory : result.outcome.targetMems) result.totalMemory += memory;
        result.layout = std::move(layout);
        return result;
    }

    // Per camera of the split cell, its observations of the cell's points.
    std::vector<int64_t> visibleCountsOf(const Cluster& cluster, const std::vector<uint32_t>& cameraImages) const {
        std::vector<uint8_t> inCluster(scene_.pointCount(), 0);
        for (uint64_t dense : cluster.pointIds) inCluster[dense] = 1;
        std::vector<int64_t> counts;
        for (uint32_t image : cameraImages) {
            int64_t count = 0;
            for (uint32_t index = scene_.observationStart[image]; index < scene_.observationStart[image + 1]; ++index)
                count += inCluster[scene_.observationPoint[index]];
            counts.push_back(count);
        }
        return counts;
    }

    // Balanced refinement: bisects the cut along the principal axis for which
    // both halves get equally many cameras; appends the one or two cuts found.
    int64_t refine(const planner::LayoutEvaluator::Base& base, const std::vector<GroundPoint>& worstCore,
                   std::vector<std::vector<Cluster>>& candidates) const {
        auto axis = detail::principalAxis(worstCore);
        std::vector<size_t> order;
        for (const auto& projection :
             planner::projectAndOrder(worstCore, axis.cosTheta, axis.sinTheta, axis.meanX, axis.meanZ))
            order.push_back(projection.position);
        auto imageImbalance = [&](size_t splitIndex) {
            auto halves = planner::twoWaySplit(worstCore, order, splitIndex);
            auto outcome = evaluator_.evaluate(base, shapesOf(halves), false);
            const auto& counts = outcome.cameraCounts;
            return counts[counts.size() - 2] - counts[counts.size() - 1];
        };
        size_t lo = 2, hi = worstCore.size() - 2;
        for (int probes = 0; hi - lo >= 2 && probes < 20; ++probes) {
            size_t mid = (lo + hi) / 2;
            if (imageImbalance(mid) < 0)
                lo = mid;
            else
                hi = mid;
        }
        candidates.push_back(planner::twoWaySplit(worstCore, order, hi));
        if (lo == hi) return 1;
        candidates.push_back(planner::twoWaySplit(worstCore, order, lo));
        return 2;
    }

    const planner::SceneIndex& scene_;
    std::vector<GroundPoint> corePoints_;
    MemoryModel model_;
    planner::LayoutEvaluator evaluator_;
    double budgetGB_;
    double gaussiansPerPoint_;
    int64_t imageWidth_;
    int64_t imageHeight_;
    uint64_t baseSeed_;
    double overhead_;
    double room_;
    const PartitionLog& log_;
    const PartitionProgressHandler& progress_;
    bool endgameSplitSeen_ = false;  // a pass A split found its worst cell within 2.5 x budget
};

}  // namespace

detail::ClusterPartitionResult detail::clusterPartition(
    const colmap::ImageMap& images, const colmap::Point3DMap& points, const CameraCentreMap& cameraCentres,
    int64_t imageWidth, int64_t imageHeight, int64_t iterationFloor, int64_t gaussianBudget, uint64_t baseSeed,
    double budgetGB, int64_t viewsPerFrame, const PartitionLog& log, const PartitionProgressHandler& progress) {
    planner::SceneIndex scene = planner::SceneIndex::build(images, points, cameraCentres);
    MemoryModel model(imageWidth, imageHeight);

    std::vector<double> xs, zs;
    for (const auto& record : scene.records) {
        xs.push_back(record.x);
        zs.push_back(record.z);
    }
    Range rangeX = robustRange(std::move(xs));
    Range rangeZ = robustRange(std::move(zs));
    std::vector<GroundPoint> corePoints;
    for (const auto& record : scene.records)
        if (rangeX.low <= record.x && record.x <= rangeX.high && rangeZ.low <= record.z && record.z <= rangeZ.high)
            corePoints.push_back(record);
    size_t coreCount = corePoints.size();
    double gaussiansPerPoint = double(gaussianBudget) / double(std::max<size_t>(1, coreCount));

    NSelection selection(scene, std::move(corePoints), model, budgetGB, gaussiansPerPoint, imageWidth, imageHeight,
                         baseSeed, log, progress);
    selection.say("Gaussian budget: " + text(gaussianBudget / 1000) + "K for the scene = " +
                  fixedText(gaussiansPerPoint, 2) + "× its " + text(coreCount) + " core SfM points");
    if (gaussiansPerPoint < 1.0)
        selection.say("⚠ The budget is below the SfM point count — cells train at their seed count, so the finished "
                      "model holds about " + text(coreCount / 1000) + "K Gaussians.");
    selection.say("N-selection (Attempt 1): " + text(images.size()) + " cams, " + text(points.size()) + " pts, budget " +
                  fixedText(budgetGB, 2) + " GB, start N=1");

    PassResult chosen = selection.run();
    const auto& layout = chosen.layout;
    const auto& outcome = chosen.outcome;
    size_t cellCount = layout.size();

    selection.say("Cell count: " + text(cellCount) + " (strict-Voronoi N-selection)");
    for (size_t cell = 0; cell < cellCount; ++cell)
        selection.say("  Cluster " + text(cell) + ": centroid=(" + fixedText(layout[cell].centroidX, 2) + ", " +
                      fixedText(layout[cell].centroidZ, 2) + "), radius=" + fixedText(layout[cell].radius, 2) + ", " +
                      text(layout[cell].pointIds.size()) + " core pts");
    for (size_t cell = 0; cell < cellCount; ++cell)
        selection.say("  Cluster " + text(cell) + " expanded: " + text(outcome.expandedCounts[cell]) +
                      " pts (core: " + text(layout[cell].pointIds.size()) + ")");
    selection.report("Assigning cameras to " + text(cellCount) + " cells…", layout);
    int64_t assignments = 0;
    for (size_t cell = 0; cell < cellCount; ++cell) {
        selection.say("  Cluster " + text(cell) + ": " + text(outcome.cameraCounts[cell]) + " cameras assigned");
        assignments += outcome.cameraCounts[cell];
    }
    if (outcome.dropped > 0)
        selection.say("  Dropped " + text(outcome.dropped) +
                      " camera(s) with < 10 points observed anywhere (SfM failures)");
    int64_t effectiveCameras = int64_t(images.size()) - outcome.dropped;
    double overlap = effectiveCameras < 1 ? 1.0 : double(assignments) / double(effectiveCameras);
    selection.say("  Measured execution overlap: " + fixedText(overlap, 2) + "× (" + text(assignments) +
                  " assignments / " + text(effectiveCameras) + " effective cameras)");
    selection.report("Computing per-cell budgets…", layout);

    int64_t views = viewsPerFrame < 2 ? 1 : viewsPerFrame;
    ClusterPartitionResult result;
    double totalMemory = 0;
    for (size_t cell = 0; cell < cellCount; ++cell) {
        int64_t cameras = outcome.cameraCounts[cell];
        int64_t expanded = outcome.expandedCounts[cell];
        int64_t share = planner::gaussianShare(gaussiansPerPoint, expanded).share;
        int64_t floor = std::max<int64_t>(expanded, 50000);
        int64_t budgetCap = estimateMemoryAndCap(cameras, imageWidth, imageHeight, floor, 5000000, budgetGB);
        // Never past what the engine grows, so that the cell trains as planned.
        int64_t cap =
            std::min<int64_t>(engines::TrainingLimits::capMax.maximum, std::max(floor, std::min(share, budgetCap)));
        int64_t iterations = std::max(std::min<int64_t>(15000 + 100 * (cameras / views), 45000), iterationFloor);
        double memory = model.memGB(cameras, cap);
        totalMemory += memory;

        PartitionCell partitionCell;
        partitionCell.id = "cell_" + text(cell);
        const Cluster& cluster = layout[cell];
        CellBounds core{cluster.centroidX, cluster.centroidX, cluster.centroidZ, cluster.centroidZ};
        for (size_t index = 0; index < cluster.pointIds.size(); ++index) {
            const GroundPoint& point = scene.records[cluster.pointIds[index]];
            if (index == 0) core = {point.x, point.x, point.z, point.z};
            core = {std::min(core.minX, point.x), std::max(core.maxX, point.x), std::min(core.minZ, point.z),
                    std::max(core.maxZ, point.z)};
        }
        double widthX = core.maxX - core.minX, widthZ = core.maxZ - core.minZ;
        partitionCell.coreBounds = core;
        partitionCell.expandedBounds = {core.minX - 0.2 * widthX, core.maxX + 0.2 * widthX, core.minZ - 0.2 * widthZ,
                                        core.maxZ + 0.2 * widthZ};
        partitionCell.imageCount = cameras;
        partitionCell.pointCount = expanded;
        partitionCell.estimatedMemoryGB = memory;
        partitionCell.depth = 0;
        partitionCell.recommendedCapMax = cap;
        partitionCell.recommendedIterations = iterations;
        std::vector<int32_t> cameraIds;
        for (uint32_t image : outcome.cameraSets[cell]) cameraIds.push_back(scene.imageIds[image]);
        partitionCell.cameraIds = std::move(cameraIds);
        std::vector<uint64_t> pointIds;
        for (uint32_t dense : outcome.expandedSets[cell]) pointIds.push_back(scene.pointIds[dense]);
        partitionCell.expandedPointIds = std::move(pointIds);
        result.cells.push_back(std::move(partitionCell));
        result.centroids.push_back({cluster.centroidX, cluster.centroidZ});

        std::string line = "  cell_" + text(cell) + ": " + text(cameras) + " images, " + text(expanded) +
                           " pts, cap=" + text(cap / 1000) + "K (share=" + text(share / 1000) +
                           "K, budget=" + text(budgetCap / 1000) + "K)";
        if (cap < share)
            line += " — budget-filled at " + text(planner::floorToInt(double(cap) / double(share) * 100)) +
                    "% of demand";
        bool fits = memory <= budgetGB;
        line += ", iters=" + text(iterations) + " → est. " + fixedText(memory, 2) + " GB " +
                (fits ? "✓" : "⚠ exceeds");
        selection.say(line);
        if (!fits)
            selection.say("  ⚠ cell_" + text(cell) + " exceeds budget by " + fixedText(memory - budgetGB, 2) +
                          " GB. Production overlap may push above planning estimate. Consider lowering extendRate "
                          "if this fires often.");
    }

    selection.say("Cluster partition complete: " + text(cellCount) + " cells");
    if (cellCount > 0)
        selection.say("Budget utilization: " +
                      text(planner::floorToInt(totalMemory / (budgetGB * double(cellCount)) * 100)) + "% (Σ " +
                      fixedText(totalMemory, 2) + " GB across " + text(cellCount) + " × " + fixedText(budgetGB, 2) +
                      " GB budget)");
    return result;
}

detail::LayoutEval detail::evaluateLayout(
    double budgetGB, double gaussiansPerPoint, const std::vector<Cluster>& layout, const colmap::ImageMap& images,
    const colmap::Point3DMap& points, const CameraCentreMap& cameraCentres, int64_t imageWidth,
    int64_t imageHeight) {
    planner::SceneIndex scene = planner::SceneIndex::build(images, points, cameraCentres);
    planner::LayoutEvaluator evaluator(scene, MemoryModel(imageWidth, imageHeight), budgetGB, gaussiansPerPoint);
    std::vector<CellShape> shapes;
    for (const auto& cluster : layout) {
        Cluster dense = cluster;
        dense.pointIds = scene.denseIds(cluster.pointIds);
        shapes.push_back(planner::shapeOf(scene, dense));
    }
    EvalOutcome outcome = evaluator.evaluateWhole(std::move(shapes), true);

    LayoutEval eval;
    for (const auto& set : outcome.expandedSets) {
        std::vector<uint64_t> ids;
        for (uint32_t dense : set) ids.push_back(scene.pointIds[dense]);
        eval.expandedSets.push_back(std::move(ids));
    }
    for (const auto& set : outcome.cameraSets) {
        std::vector<int32_t> ids;
        for (uint32_t image : set) ids.push_back(scene.imageIds[image]);
        eval.cellCameraIds.push_back(std::move(ids));
    }
    eval.dropped = outcome.dropped;
    eval.prodImageCounts = outcome.cameraCounts;
    eval.targetMems = outcome.targetMems;
    eval.totalDemand = outcome.totalDemand;
    eval.worstMem = outcome.worstMem;
    eval.allFeasible = outcome.allFeasible;
    return eval;
}

}  // namespace tessaron::partition
