// Routines of PipelineManager that the partitioned road, the resume and the
// re-merge share: the saved plan, the cells' merge inputs and the merge.
#include <system_error>

#include "engines/WorkspaceFiles.hpp"
#include "partition/SeamlessMerger.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/WorkspaceConfinement.hpp"
#include "pipeline/WorkspaceScanner.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

std::optional<std::string> PipelineManager::mergeCells(const std::vector<partition::SeamlessMerger::CellInput>& cells,
                                                      const partition::PartitionPlan& plan, const fs::path& output) {
    partition::SeamlessMerger::Options options;
    options.pureVoronoiOwnership = plan.clusterCentroids.has_value();
    // output.ply is the workspace's own name: a link there is replaced, and
    // the file it names elsewhere is never written.
    options.linkAtOutput = core::AtomicFile::LinkAtTarget::replace;
    try {
        partition::SeamlessMerger::merge(cells, output, plan.sceneBounds, options,
                                         logForwarder(PipelineLogStep::export_));
    } catch (const std::exception& error) {
        return error.what();
    }
    return std::nullopt;
}

std::optional<partition::PartitionPlan> PipelineManager::loadSavedPlan(const fs::path& partitionsFolder,
                                                                      PipelineLogStep step, std::string* problem) {
    const fs::path file = partitionsFolder / "partition_plan.json";
    std::error_code error;
    if (fs::symlink_status(file, error).type() == fs::file_type::not_found) return std::nullopt;
    partition::PartitionPlan plan;
    try {
        plan = partition::PartitionPlan::load(file);
    } catch (const std::exception& failure) {
        // The caller recomputes the plan; the reason stays in the log.
        log(step, std::string("⚠ The saved partition plan could not be used: ") + failure.what());
        if (problem) *problem = failure.what();
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

void PipelineManager::removeStaleTemporaries(const fs::path& folder, PipelineLogStep step) {
    const std::string warning = "⚠ Could not clean up stale temporaries: ";
    try {
        for (const core::FileError& left : engines::WorkspaceFiles::removeStaleTemporaries(folder).unremovable)
            log(step, warning + left.what());
    } catch (const std::exception& error) {
        log(step, warning + error.what());
    }
}

void PipelineManager::removeStaleWorkspaceTemporaries(const fs::path& workspace, PipelineLogStep step) {
    removeStaleTemporaries(workspace, step);
    const fs::path partitions = workspace / "partitions";
    if (!WorkspaceConfinement::outsideLocation(workspace, partitions)) removeStaleTemporaries(partitions, step);
}

void PipelineManager::removeStaleCellTemporaries(const fs::path& cellFolder, PipelineLogStep step) {
    removeStaleTemporaries(cellFolder, step);
    removeStaleTemporaries(cellFolder / "sparse" / "0", step);
}

std::vector<partition::SeamlessMerger::CellInput> PipelineManager::existingCellInputs(
    const partition::PartitionPlan& plan, const fs::path& partitionsFolder, std::vector<std::string>& missing) {
    std::vector<partition::SeamlessMerger::CellInput> inputs;
    for (const partition::PartitionCell& cell : plan.trainableCells()) {
        const fs::path cellOutput = partitionsFolder / cell.id / "output.ply";
        const fs::path cellModel = partitionsFolder / cell.id / "sparse" / "0";
        // What a link brings in from outside the workspace is not this run's cell.
        try {
            WorkspaceConfinement::checkCellFolder(partitionsFolder.parent_path(), partitionsFolder / cell.id);
        } catch (const WorkspaceConfinement::OutsideError& refusal) {
            log(PipelineLogStep::export_, std::string("⚠ ") + refusal.what());
            missing.push_back(cell.id);
            continue;
        }
        removeStaleCellTemporaries(partitionsFolder / cell.id, PipelineLogStep::export_);
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
                          plan.clusterCentroid(cell.id)});
    }
    return inputs;
}

}  // namespace tessaron::pipeline
