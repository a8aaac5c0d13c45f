// The second half of a run that trains the scene as one model: the memory-fit
// check, one engine run writing output.partial.ply, the PLY check and the
// move to output.ply.
#include <chrono>
#include <memory>
#include <mutex>

#include "engines/MemoryEstimate.hpp"
#include "engines/WorkspaceFiles.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/PipelineManager.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

// The engine's lines arrive on the runner's delivery queue and are read on
// the run's thread once the engine has returned.
struct CapturedLines {
    std::mutex lock;
    std::vector<std::string> lines;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void PipelineManager::checkMemoryFits(const TrainingContext& context) {
    const RunParameters& parameters = context.parameters;
    partition::PartitionPlan plan;
    try {
        // Only the plan's image size, counts and budget are used here.
        plan = partition::VastGaussianPartitioner::createPlan(context.modelDir,
                                                              {.downscaleFactor = context.downscale,
                                                               .gaussianBudget = parameters.capMax,
                                                               .ramLimitGB = parameters.ramLimitGB});
    } catch (const std::exception& error) {
        throw StageError::warning(PipelineLogStep::dataPrep,
                                  std::string("Could not check whether this model size fits in memory: ") + error.what());
    }
    const double need =
        engines::MemoryEstimate::gigabytes(plan.imageWidth, plan.imageHeight, plan.totalImages, parameters.capMax);
    if (plan.budgetGB < need)
        throw StageError::warning(PipelineLogStep::dataPrep, engines::MemoryEstimate::fitMessage(need, plan.budgetGB));
    if (double(plan.totalPoints) > 0.75 * double(parameters.capMax))
        log(PipelineLogStep::dataPrep, "ℹ " + std::to_string(plan.totalPoints) + " SfM points exceed 75% of the " +
                                           std::to_string(parameters.capMax / 1000) +
                                           "K budget — trevik subsamples them at start to leave room to grow.");
}

void PipelineManager::trainSingleModel(const TrainingContext& context) {
    const RunParameters& parameters = context.parameters;
    checkMemoryFits(context);

    if (checkCancelled(PipelineLogStep::training)) return;
    reportState(PipelineState::Kind::training);
    report<&Callbacks::onCellStarted>(int64_t(1), int64_t(1), int64_t(parameters.iterations));
    const auto start = std::chrono::steady_clock::now();

    const fs::path partial = engines::WorkspaceFiles::partialOutputURL(context.outputFile);
    // The engine's lines, read for its PSNR once it has returned; they still
    // reach the log through the handler of the dataset preparation.
    auto captured = std::make_shared<CapturedLines>();
    auto previousLineHandler = trevikRunner_.onLog;
    trevikRunner_.onLog = [previousLineHandler, captured](const std::string& line) {
        if (previousLineHandler) previousLineHandler(line);
        std::lock_guard lock(captured->lock);
        captured->lines.push_back(line);
    };
    try {
        engines::WorkspaceFiles::removeItemIfExists(partial);
        engines::TrevikRunner::Options options;
        options.datasetPath = (context.workspace / "dataset").string();
        options.outputPath = partial.string();
        options.iterations = parameters.iterations;
        options.downscale = context.downscale;
        options.evalMode = parameters.trevikEval;
        options.capMax = parameters.capMax;
        options.diagnostics = parameters.diagnostics;
        options.cullRadius = 0.0f;  // one model is the whole scene: nothing outside it to cull
        if (parameters.trevikEval) options.earlyStop = 0.05;
        options.maskDir = context.maskDir;
        trevikRunner_.run(options);
    } catch (const std::exception& error) {
        trevikRunner_.onLog = previousLineHandler;
        unwatch("trevik");
        // A killed engine leaves its streamed temporary beside the output.
        removeStaleTemporaries(context.outputFile.parent_path(), PipelineLogStep::training);
        // An engine ended by a cancel is the cancel, not a training failure.
        const bool cancelled = isCancelRequested();
        if (!cancelled) {
            // Reported here, not thrown: the error state comes before the
            // end of the cell.
            log(PipelineLogStep::training, std::string("Training error: ") + error.what());
            // The engine's own reason was logged above; the state carries it too.
            auto* failed = dynamic_cast<const engines::TrevikRunner::TrevikError*>(&error);
            reportState(PipelineState::error(failed ? failed->describedWithCause() : std::string(error.what())));
        }
        report<&Callbacks::onCellFinished>(secondsSince(start));
        if (cancelled) checkCancelled(PipelineLogStep::training);
        return;
    }
    trevikRunner_.onLog = previousLineHandler;
    unwatch("trevik");
    std::vector<std::string> engineLines;
    {
        std::lock_guard lock(captured->lock);
        engineLines = captured->lines;
    }
    reportTrainingQuality("Model", engineLines);
    report<&Callbacks::onCellFinished>(secondsSince(start));

    if (checkCancelled(PipelineLogStep::training)) return;
    reportState(PipelineState::Kind::exporting);
    log(PipelineLogStep::export_, "═══ Exporting PLY ═══");
    log(PipelineLogStep::export_, "Output: " + context.outputFile.string());

    int64_t gaussians = 0;
    try {
        gaussians = engines::WorkspaceFiles::promoteValidatedPLY(partial, context.outputFile).vertexCount;
    } catch (const std::exception& error) {
        throw StageError::warning(PipelineLogStep::export_,
                                  std::string("The trained model could not be saved: ") + error.what());
    }
    log(PipelineLogStep::export_, "✓ Saved " + std::to_string(gaussians) + " Gaussians → " +
                                      context.outputFile.filename().string());

    if (checkCancelled(PipelineLogStep::export_)) return;
    report<&Callbacks::onOutputReady>(context.outputFile.string());
    if (checkCancelled(PipelineLogStep::export_)) return;
    reportState(PipelineState::Kind::completed);
    log(PipelineLogStep::export_, "═══ Pipeline complete! ═══");
}

}  // namespace tessaron::pipeline
