// Re-merge: the trained cell PLYs of a finished partitioned workspace are
// merged again into its output.ply, without training anything.
#include <system_error>

#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/CellLists.hpp"
#include "pipeline/PipelineManager.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

void PipelineManager::RemergeOptions::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("Re-merge option " + field + " " + why);
    };
    if (workspaceURL.empty()) refuse("workspaceURL", "is empty");
    if (auto problem = engines::TrainingLimits::downscale.refusal(downscale)) refuse("downscale", *problem);
    if (auto problem = engines::TrainingLimits::capMax.refusal(capMax)) refuse("capMax", *problem);
}

void PipelineManager::remergeExistingCells(const RemergeOptions& options, std::stop_token stopToken) {
    runGuarded(PipelineLogStep::export_, stopToken, [&] {
        options.check();
        remergeSteps(options);
    });
}

void PipelineManager::remergeSteps(const RemergeOptions& options) {
    const fs::path& workspaceURL = options.workspaceURL;
    const int downscale = options.downscale;
    runLog_.open(workspaceURL);
    reportState(PipelineState::Kind::exporting);

    constexpr PipelineLogStep step = PipelineLogStep::export_;
    log(step, "═══ Re-merge existing cells ═══");
    log(step, "Workspace: " + workspaceURL.string());
    log(step, "Downscale: " + std::to_string(downscale) + "x, capMax: " + std::to_string(options.capMax));

    const fs::path modelFolder = workspaceURL / "colmap" / "sparse" / "0";
    const fs::path partitionsFolder = workspaceURL / "partitions";
    const fs::path outputFile = workspaceURL / "output.ply";
    std::error_code error;
    if (!fs::exists(modelFolder, error)) throw StageError::warning(step, "No COLMAP data at " + modelFolder.string());
    if (!fs::exists(partitionsFolder, error))
        throw StageError::warning(step, "No partitions/ directory — nothing to re-merge.");
    // What a killed merge left; the cells' own are swept as they are read.
    removeStaleWorkspaceTemporaries(workspaceURL, step);

    auto plan = loadSavedPlan(partitionsFolder, step);
    if (plan) {
        log(step, "✓ Loaded saved partition plan (" + std::to_string(plan->trainableCells().size()) +
                      " trainable cells)");
    } else {
        log(step, "⚠ No saved plan — recomputing from COLMAP data");
        try {
            plan = partition::VastGaussianPartitioner::createPlan(modelFolder, {.downscaleFactor = downscale},
                                                                  logForwarder(step));
        } catch (const std::exception& failure) {
            throw StageError::warning(step, std::string("Plan reconstruction failed: ") + failure.what());
        }
    }

    std::vector<std::string> missing;
    auto inputs = existingCellInputs(*plan, partitionsFolder, missing);
    if (!missing.empty())
        log(step, "⚠ " + std::to_string(missing.size()) +
                      " cell PLYs missing (expected but not found on disk): " + joined(missing, ", "));
    if (inputs.empty())
        throw StageError::warning(step, "No cell PLYs found to merge under " + partitionsFolder.string() + ".");

    log(step, "Found " + std::to_string(inputs.size()) + " cell PLYs — merging…");
    if (auto failure = mergeCells(inputs, *plan, outputFile))
        throw StageError::warning(step, "Merge failed: " + *failure);
    log(step, "✓ Re-merged PLY written to: " + outputFile.string());
    // Checked only now: a cancel does not interrupt the merge, but the
    // merged file is then not published.
    if (checkCancelled(step)) return;
    report<&Callbacks::onOutputReady>(outputFile.string());

    for (const std::string& name : markPartialNames(plan->lostCellIds.value_or(std::vector<std::string>{})))
        missing.push_back(name);
    if (!missing.empty()) throw incompleteModel(missing, outputFile);
    reportState(PipelineState::Kind::completed);
}

}  // namespace tessaron::pipeline
