// Routines of PipelineManager that the partitioned road, the resume and the
// re-merge share: operation start and guard, the saved plan, the cells'
// merge inputs and the merge, and the closures handed to the partitioner
// and the engine runner (each holds the manager weakly).
#include <system_error>

#include "partition/SeamlessMerger.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/WorkspaceScanner.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

std::optional<std::string> PipelineManager::mergeCells(const std::vector<partition::SeamlessMerger::CellInput>& cells,
                                                      const partition::PartitionPlan& plan, const fs::path& output) {
    partition::SeamlessMerger::pureVoronoiOwnership = plan.clusterCentroids.has_value();
    try {
        partition::SeamlessMerger::merge(cells, output, plan.sceneBounds, std::nullopt,
                                         logForwarder(PipelineLogStep::export_));
    } catch (const std::exception& error) {
        return error.what();
    }
    return std::nullopt;
}

std::optional<partition::PartitionPlan> PipelineManager::loadSavedPlan(const fs::path& partitionsFolder,
                                                                      PipelineLogStep step) {
    partition::PartitionPlan plan;
    try {
        plan = partition::PartitionPlan::load(partitionsFolder / "partition_plan.json");
    } catch (const std::exception&) {
        // Why it cannot be used is not shown: the caller recomputes it.
        return std::nullopt;
    }
    // Cell ids become folder names: only the planner's own forms are used.
    std::vector<partition::PartitionCell> usable;
    for (partition::PartitionCell& cell : plan.cells) {
        if (isCellFolderId(cell.id)) {
            usable.push_back(std::move(cell));
            continue;
        }
        log(step, "⚠ Cell id \"" + cell.id + "\" in partition_plan.json is not a cell folder name — not used.");
    }
    plan.cells = std::move(usable);
    return plan;
}

void PipelineManager::resetCancellation(std::stop_token stopToken) {
    {
        std::lock_guard lock(approvalLock_);
        cancelRequested_ = false;
    }
    colmapRunner_.runner().resetCancel();
    trevikRunner_.runner().resetCancel();
    if (stopToken.stop_requested()) cancel();
}

void PipelineManager::runGuarded(PipelineLogStep step, const std::function<void()>& body) {
    // Child lines reach this manager through weak references; holding it
    // here keeps such a line from ever releasing it on a delivery queue.
    auto keepAlive = shared_from_this();
    try {
        body();
    } catch (const std::exception& error) {
        log(step, std::string("Error: ") + error.what());
        reportState(PipelineState::error(error.what()));
    }
    closeLog();
}

void PipelineManager::failWith(PipelineLogStep step, const std::string& line, const std::string& message) {
    log(step, line);
    reportState(PipelineState::error(message));
    closeLog();
}

std::function<void(int64_t, int64_t)> PipelineManager::materializationProgressForwarder() {
    return [weakSelf = weak_from_this()](int64_t done, int64_t total) {
        if (auto self = weakSelf.lock())
            if (self->onMaterializationProgress) self->onMaterializationProgress(done, total);
    };
}

std::function<void(int64_t, int64_t, float)> PipelineManager::trainingStatsForwarder() {
    return [weakSelf = weak_from_this()](int64_t step, int64_t splats, float msPerStep) {
        if (auto self = weakSelf.lock())
            if (self->onTrainingStats) self->onTrainingStats(step, splats, msPerStep);
    };
}

std::vector<partition::SeamlessMerger::CellInput> PipelineManager::existingCellInputs(
    const partition::PartitionPlan& plan, const fs::path& partitionsFolder, std::vector<std::string>& missing) {
    std::vector<partition::SeamlessMerger::CellInput> inputs;
    for (const partition::PartitionCell& cell : plan.trainableCells()) {
        const fs::path cellOutput = partitionsFolder / cell.id / "output.ply";
        const fs::path cellModel = partitionsFolder / cell.id / "sparse" / "0";
        std::error_code error;
        if (!fs::exists(cellOutput, error)) {
            missing.push_back(cell.id);
            continue;
        }
        auto transform = partition::SeamlessMerger::estimateNormTransform(cellModel);
        if (!transform) {
            log(PipelineLogStep::export_,
                "⚠ Cell " + cell.id + ": could not compute transform from " + cellModel.string());
            missing.push_back(cell.id);
            continue;
        }
        inputs.push_back({cellOutput, cell.coreBounds, cell.expandedBounds, cellModel, *transform,
                          clusterCentroid(cell.id, plan)});
    }
    return inputs;
}

std::function<bool()> PipelineManager::cancelProbe() {
    return [weakSelf = weak_from_this()] {
        auto self = weakSelf.lock();
        return !self || self->isCancelRequested();
    };
}

}  // namespace tessaron::pipeline
