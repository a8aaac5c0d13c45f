// The partitioned road of a run: the plan, the user's approval, the cell
// models, the cell loop and the seamless merge into <workspace>/output.ply.
#include <algorithm>

#include "core/Error.hpp"
#include "core/NumberText.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/CellLists.hpp"
#include "pipeline/PipelineManager.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

// The stop message when the largest trainable cell needs more than the
// budget; none when every cell fits (equal fits).
std::optional<std::string> evenSplitProblem(const partition::PartitionPlan& plan) {
    const std::vector<partition::PartitionCell> trainable = plan.trainableCells();
    const partition::PartitionCell* largest = nullptr;
    for (const partition::PartitionCell& cell : trainable)
        if (!largest || cell.estimatedMemoryGB > largest->estimatedMemoryGB) largest = &cell;
    if (!largest || !(largest->estimatedMemoryGB > plan.budgetGB)) return std::nullopt;
    return "Even split into " + std::to_string(trainable.size()) + " parts, one part needs " +
           core::fixedText(largest->estimatedMemoryGB, 1) + " GB of memory (limit " + core::fixedText(plan.budgetGB, 1) +
           " GB). Choose a smaller model size or a higher downscale.";
}

}  // namespace

void PipelineManager::trainPartitioned(const TrainingContext& context) {
    const RunParameters& parameters = context.parameters;
    const fs::path partitionsFolder = context.workspace / "partitions";
    constexpr PipelineLogStep prep = PipelineLogStep::dataPrep;

    // ---- Plan ----
    log(prep, "═══ VastGaussian Mode: Computing partition plan from scene data ═══");
    partition::PartitionPlan plan;
    try {
        const int64_t viewsPerFrame = context.layout ? int64_t(context.layout->crops.size()) : 0;
        auto progress = [weakSelf = weak_from_this()](const partition::PartitionProgress& update) {
            if (auto self = weakSelf.lock()) self->report<&Callbacks::onPartitionProgress>(update);
        };
        plan = partition::VastGaussianPartitioner::createPlan(context.modelDir,
                                                              {.downscaleFactor = context.downscale,
                                                               .iterationFloor = parameters.iterations,
                                                               .gaussianBudget = parameters.capMax,
                                                               .ramLimitGB = parameters.ramLimitGB,
                                                               .viewsPerFrame = viewsPerFrame},
                                                              logForwarder(prep), progress);
    } catch (const std::exception& error) {
        throw StageError(prep, std::string("Partition planning error: ") + error.what(),
                         std::string("Partition planning failed: ") + error.what());
    }
    if (parameters.overrideVastGaussianParams) {
        log(prep, "⚠ VastGaussian auto-parameters overridden: using cap=" + std::to_string(parameters.capMax) +
                      ", iters=" + std::to_string(parameters.iterations) + " for all cells");
        overrideCellParameters(plan, parameters.capMax, parameters.iterations);
    }
    log(prep, "");
    log(prep, plan.printSummary());
    log(prep, "");
    if (auto problem = evenSplitProblem(plan)) throw StageError::warning(prep, *problem);
    // Asking to approve a plan that trains nothing would end in an empty merge.
    if (plan.trainableCells().empty())
        throw StageError::warning(prep, "The partition plan has no cell to train: every cell has fewer than the " +
                                            std::to_string(plan.minimumTrainableImages()) +
                                            " images a cell needs. Turn off partitioning or add images.");

    // ---- Approval ----
    reportState(PipelineState::Kind::awaitingPartitionApproval);
    report<&Callbacks::onPartitionPlanReady>(plan);
    const ApprovalGate::Decision decision = approvalGate_.await();
    if (decision.outcome == ApprovalOutcome::cancelled) {
        log(prep, "Pipeline cancelled at partition approval.");
        return;
    }
    log(prep, "Partition plan approved. Starting partitioning...");
    reportState(PipelineState::Kind::materializingCells);

    // ---- Plan file and cell models ----
    const fs::path planFile = partitionsFolder / "partition_plan.json";
    try {
        plan.save(planFile, core::AtomicFile::LinkAtTarget::replace);
    } catch (const std::exception& error) {
        throw StageError(prep, std::string("Error: could not save the partition plan: ") + error.what(),
                         std::string("Could not save the partition plan: ") + error.what());
    }
    log(prep, "Partition plan saved to " + planFile.filename().string());

    std::vector<partition::MaterializedCell> prepared;
    try {
        prepared = partition::VastGaussianPartitioner::executePartition(
            plan, context.modelDir, partitionsFolder, std::nullopt, logForwarder(prep),
            materializationProgressForwarder(), cancelProbe());
    } catch (const core::CancellationError&) {
        log(prep, "Partitioning cancelled.");
        return;
    } catch (const std::exception& error) {
        if (checkCancelled(prep)) return;
        throw StageError(prep, std::string("Partitioning error: ") + error.what(),
                         std::string("Partitioning failed: ") + error.what());
    }
    if (checkCancelled(PipelineLogStep::training)) return;
    reportState(PipelineState::Kind::training);

    CellTrainingRun run;
    run.plan = plan;
    run.queue = pendingCells(preparedCells(prepared), plan.trainableCells(), parameters.capMax, parameters.iterations);
    run.modelFolder = context.modelDir;
    run.partitionsFolder = partitionsFolder;
    run.imageDir = context.imageDir;
    run.downscale = context.downscale;
    run.eval = parameters.trevikEval;
    // The choice made with the approval, when it came with one.
    run.diagnostics = decision.diagnostics.value_or(parameters.diagnostics);
    run.maskDir = context.maskDir;
    run.warnOnLowMemory = true;
    if (!cellQueue().train(run)) {
        checkCancelled(PipelineLogStep::training);
        return;
    }

    // ---- Merge ----
    if (!run.failedCells.empty())
        log(PipelineLogStep::training, "⚠ Cells that failed (no retry possible): " + joined(run.failedCells, ", "));
    if (checkCancelled(PipelineLogStep::training)) return;
    reportState(PipelineState::Kind::exporting);
    constexpr PipelineLogStep exportStep = PipelineLogStep::export_;
    if (run.mergeInputs.empty())
        throw StageError::warning(exportStep, withFailureReasons("No cells produced usable PLYs — check training logs above.",
                                                                 run.failureReasons));
    log(exportStep, "═══ Seamless Merging " + std::to_string(run.mergeInputs.size()) + " cell PLYs ═══");
    if (auto failure = mergeCells(run.mergeInputs, run.plan, context.outputFile))
        throw StageError(exportStep, "Merge error: " + *failure, "Merge failed: " + *failure);
    log(exportStep, "✓ Merged PLY exported to: " + context.outputFile.string());
    if (checkCancelled(exportStep)) return;
    report<&Callbacks::onOutputReady>(context.outputFile.string());

    std::vector<std::string> missing = run.failedCells;
    for (const std::string& name : markPartialNames(run.plan.lostCellIds.value_or(std::vector<std::string>{})))
        missing.push_back(name);
    if (!missing.empty()) throw incompleteModel(missing, context.outputFile);
    if (checkCancelled(exportStep)) return;
    reportState(PipelineState::Kind::completed);
    log(exportStep, "═══ Pipeline complete! ═══");
}

PipelineManager::StageError PipelineManager::incompleteModel(const std::vector<std::string>& failed,
                                                            const fs::path& outputURL) {
    // A region both missing and failed (or failed twice) is named once.
    std::vector<std::string> regions;
    for (const std::string& name : failed)
        if (std::find(regions.begin(), regions.end(), name) == regions.end()) regions.push_back(name);
    const std::string message = "The model is incomplete: " + std::to_string(regions.size()) +
                                " region(s) failed or are missing (" + joined(regions, ", ") + "). " +
                                outputURL.filename().string() + " has only the other regions — see the log for the cause.";
    return StageError::warning(PipelineLogStep::export_, message);
}

}  // namespace tessaron::pipeline
