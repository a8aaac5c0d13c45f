// Resume of an interrupted partitioned run: from a scan of its workspace,
// the saved plan (or a recomputed one), the cells the run never prepared,
// the cell loop over every unfinished cell, and the merge of all of them.
#include <algorithm>
#include <map>
#include <set>

#include "core/Error.hpp"
#include "core/NumberText.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/CellLists.hpp"
#include "pipeline/PathUtilities.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunConfig.hpp"
#include "pipeline/WorkspaceConfinement.hpp"
#include "pipeline/WorkspaceScanner.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

void PipelineManager::ResumeOptions::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("Resume option " + field + " " + why);
    };
    if (scan.workspaceURL.empty()) refuse("scan.workspaceURL", "is empty");
    if (auto problem = engines::TrainingLimits::iterations.refusal(iterations)) refuse("iterations", *problem);
    if (auto problem = engines::TrainingLimits::downscale.refusal(downscale)) refuse("downscale", *problem);
    if (auto problem = engines::TrainingLimits::capMax.refusal(capMax)) refuse("capMax", *problem);
}

void PipelineManager::resumeInterruptedTraining(const ResumeOptions& options, std::stop_token stopToken) {
    runGuarded(PipelineLogStep::training, stopToken, [&] {
        options.check();
        resumeSteps(options);
    });
}

partition::PartitionPlan PipelineManager::replan(const WorkspaceScanResult& scanResult, int iterations,
                                                 int downscale) {
    constexpr PipelineLogStep step = PipelineLogStep::training;
    // The run's own settings, so that the scene is cut as the run cut it (the
    // planner is deterministic), rather than for this computer's whole memory.
    std::optional<RunConfig> recorded;
    try {
        recorded = RunConfig::load(scanResult.workspaceURL);
    } catch (const core::Error&) {
        // The scan said why when the file is there; the defaults below stand.
    }
    int64_t planIterations = iterations;
    int64_t capMax = 1000000;
    std::optional<double> ramLimitGB;
    int64_t viewsPerFrame = 0;
    if (recorded) {
        planIterations = recorded->iterations;
        capMax = recorded->capMax;
        ramLimitGB = recorded->ramLimitGB;
        viewsPerFrame = recorded->viewsPerFrame.value_or(0);
    }
    if (ramLimitGB)
        log(step, "Planning with the run's settings: memory limit " + core::fixedText(*ramLimitGB, 1) + " GB, cap " +
                      std::to_string(capMax) + ", " + std::to_string(planIterations) + " iterations");
    else
        log(step, "⚠ The workspace records no memory limit — planning for this computer's memory.");
    partition::PartitionPlan plan;
    try {
        plan = partition::VastGaussianPartitioner::createPlan(scanResult.globalSparseURL,
                                                              {.downscaleFactor = downscale,
                                                               .iterationFloor = planIterations,
                                                               .gaussianBudget = capMax,
                                                               .ramLimitGB = ramLimitGB,
                                                               .viewsPerFrame = viewsPerFrame},
                                                              logForwarder(step));
    } catch (const std::exception& error) {
        throw StageError::warning(step, std::string("Partition plan reconstruction failed: ") + error.what());
    }
    if (recorded && recorded->overridePartitionParams.value_or(false))
        overrideCellParameters(plan, capMax, planIterations);
    return plan;
}

void PipelineManager::resumeSteps(const ResumeOptions& options) {
    const WorkspaceScanResult& scanResult = options.scan;
    const int downscale = options.downscale;
    constexpr PipelineLogStep step = PipelineLogStep::training;
    constexpr PipelineLogStep exportStep = PipelineLogStep::export_;

    const fs::path& workspace = scanResult.workspaceURL;
    const fs::path partitionsFolder = workspace / "partitions";
    const fs::path outputFile = workspace / "output.ply";
    runLog_.open(workspace);
    reportState(PipelineState::Kind::training);

    log(step, "═══ Resuming Interrupted VastGaussian Training ═══");
    log(step, "Workspace: " + workspace.string());
    log(step, "Completed cells: " + std::to_string(scanResult.completedCells().size()));
    log(step, "Incomplete cells: " + std::to_string(scanResult.incompleteCells().size()));
    log(step, "Parameters from log — downscale: " + std::to_string(downscale) + "x, cap_max: " +
                  std::to_string(options.capMax) + ", iterations: " + std::to_string(options.iterations));

    for (const std::string& problem : scanResult.unusableFiles) log(step, "⚠ " + problem);
    // Cells are prepared and trained in partitions/: it must be the workspace's own.
    if (auto outside = WorkspaceConfinement::outsideLocation(workspace, partitionsFolder))
        throw StageError::warning(step, "The partitions folder resolves outside the workspace (" + outside->string() +
                                            ") — refused.");
    // What a killed merge or plan save left; the cells' own are swept as
    // each is trained or merged.
    removeStaleWorkspaceTemporaries(workspace, step);

    // ---- Plan ----
    std::string planProblem;
    std::optional<partition::PartitionPlan> plan = loadSavedPlan(partitionsFolder, step, &planProblem);
    if (plan) {
        log(step, "✓ Loaded saved partition plan (" + std::to_string(plan->cells.size()) + " cells, " +
                      std::to_string(plan->trainableCells().size()) + " trainable)");
    } else {
        // Finished cells were cut and trained for the saved plan, whose bounds
        // the merge needs; a new plan may place its cells elsewhere. They are
        // kept as they are until the plan is back, not merged with guesses.
        std::vector<std::string> finished;
        for (const ScannedCell& cell : scanResult.completedCells()) finished.push_back(cell.cellId);
        if (!finished.empty())
            throw StageError::warning(
                step, "Cannot resume: the saved partition plan " +
                          (planProblem.empty() ? std::string("is missing") : "could not be used (" + planProblem + ")") +
                          ", and the " + std::to_string(finished.size()) + " finished cell(s) (" + joined(finished, ", ") +
                          ") were trained for it. A new plan could place the cells differently and lose them. Restore " +
                          "partitions/partition_plan.json, or start a new run.");
        log(step, "⚠ No saved partition plan found — recomputing from COLMAP data (cell IDs may differ)");
        plan = replan(scanResult, options.iterations, downscale);
    }
    log(step, "");
    log(step, plan->printSummary());
    log(step, "");

    // ---- Cells the run never prepared ----
    const std::vector<partition::PartitionCell> trainable = plan->trainableCells();
    std::map<std::string, const partition::PartitionCell*> trainableById;
    for (const partition::PartitionCell& cell : trainable) trainableById.emplace(cell.id, &cell);
    std::set<std::string> preparable;
    for (const std::string& id : scanResult.missingPlannedCells) {
        auto found = trainableById.find(id);
        if ((found != trainableById.end() && found->second->expandedPointIds) || trainable.size() == 1)
            preparable.insert(id);
    }
    std::vector<partition::MaterializedCell> prepared;
    if (!preparable.empty()) {
        reportState(PipelineState::Kind::materializingCells);
        log(step, "Preparing " + std::to_string(preparable.size()) + " cell(s) the run never prepared…");
        try {
            prepared = partition::VastGaussianPartitioner::executePartition(
                *plan, scanResult.globalSparseURL, partitionsFolder, preparable, logForwarder(step),
                materializationProgressForwarder(), cancelProbe());
        } catch (const core::CancellationError&) {
            prepared.clear();
        } catch (const std::exception& error) {
            if (!isCancelRequested()) log(step, std::string("⚠ Could not prepare the missing cells: ") + error.what());
            prepared.clear();
        }
        if (checkCancelled(step)) return;
        reportState(PipelineState::Kind::training);
    }
    auto wasPrepared = [&prepared](const std::string& id) {
        return std::any_of(prepared.begin(), prepared.end(),
                           [&id](const partition::MaterializedCell& cell) { return cell.cellId == id; });
    };
    for (const std::string& id : scanResult.missingPlannedCells)
        if (!wasPrepared(id))
            log(step, "⚠ Cell " + id + " has no data and can't be prepared — that region will be missing.");

    // ---- Queue ----
    // Unfinished cells first, in scan order, then the freshly prepared ones.
    std::vector<std::pair<std::string, fs::path>> sources;
    for (const ScannedCell& cell : scanResult.incompleteCells()) sources.emplace_back(cell.cellId, cell.sparseURL);
    for (const partition::MaterializedCell& cell : prepared) sources.emplace_back(cell.cellId, cell.url);

    std::vector<std::string> listed;
    for (const auto& [id, url] : sources)
        if (std::find(listed.begin(), listed.end(), id) == listed.end()) listed.push_back(id);
    std::stable_sort(listed.begin(), listed.end(),
                     [](const std::string& a, const std::string& b) { return cellIDPrecedes(a, b); });
    log(step, "Cells to train: " + joined(listed, ", "));
    log(step, "");

    trevikRunner_.onLog = logForwarder(step);
    trevikRunner_.onStats = trainingStatsForwarder();

    CellTrainingRun run;
    for (const auto& [id, url] : sources) {
        auto found = trainableById.find(id);
        if (found == trainableById.end()) {
            log(step, "⚠ Cell " + id + " not found in reconstructed plan — skipping.");
            continue;
        }
        const partition::PartitionCell& cell = *found->second;
        run.queue.push_back(PendingCell{id, url, cell.coreBounds, cell.expandedBounds, cell.depth,
                                        cell.recommendedCapMax, cell.recommendedIterations});
    }
    if (run.queue.empty())
        throw StageError::warning(step, "No incomplete cells matched the reconstructed partition plan.");
    log(step, "Training " + std::to_string(run.queue.size()) + " remaining cell(s)...");

    run.plan = *plan;
    run.modelFolder = scanResult.globalSparseURL;
    run.partitionsFolder = partitionsFolder;
    run.imageDir = scanResult.imageDir;
    run.downscale = downscale;
    run.eval = options.eval;
    run.diagnostics = options.diagnostics;
    // The person masks the interrupted run trained with, found as the run's
    // set-up finds them, so that masked people stay out of these cells too.
    run.maskDir = findMaskDirectory(scanResult.imageDir, workspace);
    if (!cellQueue().train(run)) {
        checkCancelled(step);
        return;
    }

    // ---- Merge ----
    if (!run.failedCells.empty()) log(step, "⚠ Cells that failed (no retry possible): " + joined(run.failedCells, ", "));
    if (checkCancelled(step)) return;
    log(step, "");
    log(step, "All remaining cells trained. Collecting PLYs for merge...");
    reportState(PipelineState::Kind::exporting);

    std::vector<std::string> missing;
    std::vector<partition::SeamlessMerger::CellInput> inputs = existingCellInputs(run.plan, partitionsFolder, missing);
    for (const auto& trained : run.mergeInputs) {
        auto same = [&trained](const auto& input) { return input.plyURL == trained.plyURL; };
        if (std::none_of(inputs.begin(), inputs.end(), same)) inputs.push_back(trained);
    }
    if (!missing.empty())
        log(exportStep, "⚠ " + std::to_string(missing.size()) + " cell PLYs still missing: " + joined(missing, ", "));
    if (inputs.empty())
        throw StageError::warning(exportStep, withFailureReasons("No cell PLYs found to merge.", run.failureReasons));

    log(exportStep, "═══ Seamless Merging " + std::to_string(inputs.size()) + " cell PLYs ═══");
    if (auto failure = mergeCells(inputs, run.plan, outputFile))
        throw StageError(exportStep, "Merge error: " + *failure, "Merge failed: " + *failure);
    log(exportStep, "✓ Merged PLY exported to: " + outputFile.string());
    if (checkCancelled(exportStep)) return;
    report<&Callbacks::onOutputReady>(outputFile.string());
    if (checkCancelled(exportStep)) return;

    std::vector<std::string> lost = missing;
    lost.insert(lost.end(), run.failedCells.begin(), run.failedCells.end());
    for (const std::string& name : markPartialNames(run.plan.lostCellIds.value_or(std::vector<std::string>{})))
        lost.push_back(name);
    if (!lost.empty()) throw incompleteModel(lost, outputFile);
    reportState(PipelineState::Kind::completed);
    log(exportStep, "═══ Resume pipeline complete! ═══");
}

}  // namespace tessaron::pipeline
