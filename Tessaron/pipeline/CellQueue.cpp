#include "pipeline/CellQueue.hpp"

#include <algorithm>

#include "colmap/COLMAPUtils.hpp"
#include "engines/DatasetProfile.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/OutOfMemoryRule.hpp"

namespace tessaron::pipeline {

namespace {

// A quadrant's model as a plan cell. A model that cannot be read counts as
// one without images or points, so it is never trained.
partition::PartitionCell subCell(const partition::MaterializedCell& quadrant, int64_t depth, int64_t capMax,
                                 int64_t iterations) {
    partition::PartitionCell cell;
    cell.id = quadrant.cellId;
    cell.coreBounds = quadrant.coreBounds;
    cell.expandedBounds = quadrant.expandedBounds;
    try {
        colmap::COLMAPModel model = colmap::COLMAPUtils::readModel(quadrant.url);
        std::vector<int32_t> cameraIds;
        for (const auto& [imageId, image] : model.images) cameraIds.push_back(imageId);
        std::sort(cameraIds.begin(), cameraIds.end());
        cell.imageCount = int64_t(model.images.size());
        cell.pointCount = int64_t(model.points3D.size());
        cell.cameraIds = std::move(cameraIds);
    } catch (const std::exception&) {
        cell.imageCount = 0;
        cell.pointCount = 0;
    }
    cell.estimatedMemoryGB = 0;
    cell.depth = depth;
    cell.recommendedCapMax = capMax;
    cell.recommendedIterations = iterations;
    return cell;
}

}  // namespace

CellQueue::CellQueue(Hooks hooks) : hooks_(std::move(hooks)) {
    if (!hooks_.subdivide)
        hooks_.subdivide = [](const PendingCell& cell, const CellTrainingRun& run,
                              const std::function<void(const std::string&)>& log) {
            return partition::VastGaussianPartitioner::executeCells(cell.cellId, cell.coreBounds, run.modelFolder,
                                                                    run.partitionsFolder, run.plan.normalization, log);
        };
    if (!hooks_.availableMemoryGB) hooks_.availableMemoryGB = engines::DatasetProfile::queryAvailableMemoryGB;
}

bool CellQueue::train(CellTrainingRun& run) const {
    // The queue grows while it is walked: sub-cells train in the same loop.
    for (size_t index = 0; index < run.queue.size(); ++index) {
        if (hooks_.isCancelRequested()) return false;
        const PendingCell cell = run.queue[index];
        CellTrainingOutcome outcome = hooks_.trainCell(run, cell, index + 1);
        if (hooks_.isCancelRequested()) return false;
        if (outcome.failure) {
            std::vector<PendingCell> subCells = retryAfterOutOfMemory(run, cell, outcome.failure, outcome.outputLines);
            run.queue.insert(run.queue.end(), subCells.begin(), subCells.end());
        }
        if (run.warnOnLowMemory) {
            int64_t free = hooks_.availableMemoryGB();
            if (free < 1)
                hooks_.log(PipelineLogStep::training,
                           "⚠ System memory critically low (" + std::to_string(free) + " GB available).");
        }
    }
    return true;
}

std::vector<PendingCell> CellQueue::retryAfterOutOfMemory(CellTrainingRun& run, const PendingCell& cell,
                                                          const std::exception_ptr& error,
                                                          const std::vector<std::string>& outputLines) const {
    constexpr PipelineLogStep step = PipelineLogStep::training;
    auto giveUp = [&](const std::string& message) {
        hooks_.log(step, message);
        run.failedCells.push_back(cell.cellId);
        return std::vector<PendingCell>{};
    };

    if (hooks_.isCancelRequested()) return {};
    if (!OutOfMemoryRule::isOutOfMemory(error, outputLines))
        return giveUp("⚠ " + cell.cellId + " failed for a reason other than memory — not retrying; that region will be missing.");
    if (cell.depth >= OutOfMemoryRule::maximumDepth)
        return giveUp("⚠ " + cell.cellId +
                      " ran out of memory at the maximum subdivision — giving up; that region will be missing.");
    hooks_.log(step, cell.cellId + " ran out of memory — retrying as 4 smaller cells…");

    std::vector<partition::MaterializedCell> quadrants;
    try {
        quadrants = hooks_.subdivide(cell, run, [log = hooks_.log](const std::string& line) { log(step, line); });
    } catch (const std::exception& failure) {
        return giveUp("⚠ Could not subdivide " + cell.cellId + ": " + failure.what() + " — that region will be missing.");
    }
    if (hooks_.isCancelRequested()) return {};
    const std::string noQuadrant =
        "⚠ No quadrant of " + cell.cellId + " has enough photos to train — that region will be missing.";
    if (quadrants.empty()) return giveUp(noQuadrant);

    const int64_t depth = cell.depth + 1;
    const int64_t cap = OutOfMemoryRule::subCellCap(cell.recommendedCapMax);
    std::vector<partition::PartitionCell> kept;
    std::vector<PendingCell> pending;
    for (const partition::MaterializedCell& quadrant : quadrants) {
        partition::PartitionCell planCell = subCell(quadrant, depth, cap, cell.recommendedIterations);
        if (planCell.imageCount < run.plan.minimumTrainableImages()) continue;
        kept.push_back(std::move(planCell));
        pending.push_back(PendingCell{quadrant.cellId, quadrant.url, quadrant.coreBounds, quadrant.expandedBounds,
                                      depth, cap, cell.recommendedIterations});
    }
    if (kept.empty()) return giveUp(noQuadrant);
    if (kept.size() < 4)
        hooks_.log(step, "⚠ Only " + std::to_string(kept.size()) + " of 4 quadrants of " + cell.cellId +
                             " have enough photos — part of that region will be missing.");
    if (hooks_.isCancelRequested()) return {};

    partition::PartitionPlan updated = run.plan.replacingCell(cell.cellId, kept, kept.size() < 4);
    try {
        updated.save(run.partitionsFolder / "partition_plan.json", core::AtomicFile::LinkAtTarget::replace);
    } catch (const std::exception& failure) {
        return giveUp("⚠ Could not save the updated plan (" + std::string(failure.what()) + ") — not retrying " +
                      cell.cellId + "; that region will be missing.");
    }
    run.plan = std::move(updated);
    hooks_.log(step, "Enqueued " + std::to_string(kept.size()) + " sub-quadrants of " + cell.cellId + " at cap " +
                         std::to_string(cap) +
                         " each. ℹ If a sub-quadrant's seeds exceed 75% of that cap, the engine subsamples its seeds "
                         "to half the cap (stderr line '[mcmc] init points').");
    return pending;
}

}  // namespace tessaron::pipeline
