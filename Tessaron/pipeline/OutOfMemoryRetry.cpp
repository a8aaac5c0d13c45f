// A cell whose training ran out of memory is cut into four quadrant
// sub-cells with a smaller cap, which take its place in the plan and join
// the training queue; every other failure leaves its region missing.
#include <algorithm>
#include <array>
#include <cctype>

#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/TrevikRunner.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/OutOfMemoryRule.hpp"
#include "pipeline/PipelineManager.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

std::string lowercased(std::string text) {
    for (char& character : text) character = char(std::tolower(static_cast<unsigned char>(character)));
    return text;
}

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

bool OutOfMemoryRule::mentionsOutOfMemory(const std::vector<std::string>& outputLines) {
    static constexpr std::array<const char*, 5> patterns = {"OutOfMemory", "Insufficient Memory", "out of memory",
                                                            "failed to allocate", "std::bad_alloc"};
    const size_t first = outputLines.size() > examinedLineCount ? outputLines.size() - examinedLineCount : 0;
    std::string examined;
    for (size_t index = first; index < outputLines.size(); ++index) {
        if (index > first) examined += '\n';
        examined += outputLines[index];
    }
    examined = lowercased(std::move(examined));
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const char* pattern) { return examined.find(lowercased(pattern)) != std::string::npos; });
}

bool OutOfMemoryRule::isOutOfMemory(const std::exception_ptr& error, const std::vector<std::string>& outputLines) {
    try {
        std::rethrow_exception(error);
    } catch (const engines::PLYCheck::Failure&) {
        // A broken PLY is never a memory problem, whatever the engine said.
        return false;
    } catch (const engines::TrevikRunner::TrevikError& failure) {
        if (failure.signal == 9) return true;
    } catch (const std::exception&) {
    }
    return mentionsOutOfMemory(outputLines);
}

int64_t OutOfMemoryRule::subCellCap(int64_t parentCap) {
    if (parentCap > 199999) return parentCap / 4;
    // Never more than the parent had.
    return std::min<int64_t>(50000, parentCap);
}

std::vector<PendingCell> PipelineManager::retryCellAfterOutOfMemory(const PendingCell& cell,
                                                                    const std::exception_ptr& error,
                                                                    const std::vector<std::string>& outputLines,
                                                                    const fs::path& modelFolder,
                                                                    const fs::path& partitionsFolder,
                                                                    partition::PartitionPlan& plan,
                                                                    std::vector<std::string>& failedCells) {
    constexpr PipelineLogStep step = PipelineLogStep::training;
    auto giveUp = [&](const std::string& message) {
        log(step, message);
        failedCells.push_back(cell.cellId);
        return std::vector<PendingCell>{};
    };

    if (isCancelRequested()) return {};
    if (!OutOfMemoryRule::isOutOfMemory(error, outputLines))
        return giveUp("⚠ " + cell.cellId + " failed for a reason other than memory — not retrying; that region will be missing.");
    if (cell.depth >= OutOfMemoryRule::maximumDepth)
        return giveUp("⚠ " + cell.cellId +
                      " ran out of memory at the maximum subdivision — giving up; that region will be missing.");
    log(step, cell.cellId + " ran out of memory — retrying as 4 smaller cells…");

    std::vector<partition::MaterializedCell> quadrants;
    try {
        quadrants = partition::VastGaussianPartitioner::executeCells(cell.cellId, cell.coreBounds, modelFolder,
                                                                     partitionsFolder, plan.normalization,
                                                                     logForwarder(step));
    } catch (const std::exception& failure) {
        return giveUp("⚠ Could not subdivide " + cell.cellId + ": " + failure.what() + " — that region will be missing.");
    }
    if (isCancelRequested()) return {};
    const std::string noQuadrant =
        "⚠ No quadrant of " + cell.cellId + " has enough photos to train — that region will be missing.";
    if (quadrants.empty()) return giveUp(noQuadrant);

    const int64_t depth = cell.depth + 1;
    const int64_t cap = OutOfMemoryRule::subCellCap(cell.recommendedCapMax);
    std::vector<partition::PartitionCell> kept;
    std::vector<PendingCell> pending;
    for (const partition::MaterializedCell& quadrant : quadrants) {
        partition::PartitionCell planCell = subCell(quadrant, depth, cap, cell.recommendedIterations);
        if (planCell.imageCount < plan.minimumTrainableImages()) continue;
        kept.push_back(std::move(planCell));
        pending.push_back(PendingCell{quadrant.cellId, quadrant.url, quadrant.coreBounds, quadrant.expandedBounds,
                                      depth, cap, cell.recommendedIterations});
    }
    if (kept.empty()) return giveUp(noQuadrant);
    if (kept.size() < 4)
        log(step, "⚠ Only " + std::to_string(kept.size()) + " of 4 quadrants of " + cell.cellId +
                      " have enough photos — part of that region will be missing.");
    if (isCancelRequested()) return {};

    partition::PartitionPlan updated = plan.replacingCell(cell.cellId, kept, kept.size() < 4);
    try {
        updated.save(partitionsFolder / "partition_plan.json");
    } catch (const std::exception& failure) {
        return giveUp("⚠ Could not save the updated plan (" + std::string(failure.what()) + ") — not retrying " +
                      cell.cellId + "; that region will be missing.");
    }
    plan = std::move(updated);
    log(step, "Enqueued " + std::to_string(kept.size()) + " sub-quadrants of " + cell.cellId + " at cap " +
                  std::to_string(cap) +
                  " each. ℹ If a sub-quadrant's seeds exceed 75% of that cap, the engine subsamples its seeds to half "
                  "the cap (stderr line '[mcmc] init points').");
    return pending;
}

}  // namespace tessaron::pipeline
