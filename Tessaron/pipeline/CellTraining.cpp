// One cell of the partitioned road's or a resume's queue: trained by the
// engine, its PLY checked and promoted, its merge input recorded; the
// engine's lines kept for the out-of-memory decision of the cell queue.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <mutex>

#include "core/NumberText.hpp"
#include "engines/WorkspaceFiles.hpp"
#include "pipeline/PathUtilities.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/WorkspaceConfinement.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

// The engine's lines of one cell. They arrive on the runner's delivery queue
// and are read on the run's thread once the engine has returned.
struct CapturedLines {
    std::mutex lock;
    std::vector<std::string> lines;
};

// Length of "[0-9]+\.?[0-9]*" at the start of `text`, 0 when no digit leads.
size_t numberLength(std::string_view text) {
    size_t end = 0;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == 0) return 0;
    if (end < text.size() && text[end] == '.') ++end;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return end;
}

// The first match of "psnr[=: ]+([0-9]+\.?[0-9]*)", ignoring case, as the
// text of its group.
std::optional<std::string_view> psnrNumber(std::string_view line, std::string_view lowered) {
    for (size_t at = lowered.find("psnr"); at != std::string_view::npos; at = lowered.find("psnr", at + 1)) {
        size_t next = at + 4;
        size_t separators = next;
        while (separators < line.size() && (line[separators] == '=' || line[separators] == ':' || line[separators] == ' '))
            ++separators;
        if (separators == next) continue;
        if (size_t length = numberLength(line.substr(separators)); length > 0) return line.substr(separators, length);
    }
    return std::nullopt;
}

std::string lowercased(std::string_view text) {
    std::string lowered(text);
    for (char& character : lowered) character = char(std::tolower(static_cast<unsigned char>(character)));
    return lowered;
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& thrown) {
        return thrown.what();
    }
}

// The same with the engine's own reason, which its error line gave above.
std::string describeWithCause(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const engines::TrevikRunner::TrevikError& failed) {
        return failed.describedWithCause();
    } catch (const std::exception& thrown) {
        return thrown.what();
    }
}

}  // namespace

std::optional<double> parsePSNR(const std::vector<std::string>& lines) {
    std::optional<double> result;
    for (const std::string& line : lines) {
        const std::string lowered = lowercased(line);
        if (lowered.find("psnr") == std::string::npos) continue;
        auto number = psnrNumber(line, lowered);
        if (!number) continue;
        double value = 0;
        auto [end, error] = std::from_chars(number->data(), number->data() + number->size(), value);
        if (error == std::errc() && end == number->data() + number->size()) result = value;
    }
    return result;
}

void PipelineManager::reportTrainingQuality(const std::string& subject, const std::vector<std::string>& engineLines) {
    constexpr PipelineLogStep step = PipelineLogStep::training;
    auto warn = [this](const std::string& warning) {
        log(step, "⚠ " + warning);
        report<&Callbacks::onWarning>(warning);
    };
    if (auto psnr = parsePSNR(engineLines)) {
        log(step, subject + " eval PSNR: " + core::fixedText(*psnr, 2) + " dB");
        if (*psnr < 15.0) warn(subject + " PSNR is very low (<15 dB). Quality may be poor.");
    }
    const bool fell = std::any_of(engineLines.begin(), engineLines.end(), [](const std::string& line) {
        return line.starts_with(engines::TrevikRunner::qualityFellWarning);
    });
    if (fell) warn(subject + " PSNR fell below its untrained seeds' — training made it worse. Quality may be poor.");
}

CellQueue PipelineManager::cellQueue() {
    // The queue lives on the operation's stack: it is never the last
    // reference to this manager.
    CellQueue::Hooks hooks;
    hooks.trainCell = [this](CellTrainingRun& run, const PendingCell& cell, size_t number) {
        return trainCell(run, cell, number);
    };
    hooks.log = [this](PipelineLogStep step, const std::string& text) { log(step, text); };
    hooks.isCancelRequested = [this] { return isCancelRequested(); };
    return CellQueue(std::move(hooks));
}

CellTrainingOutcome PipelineManager::trainCell(CellTrainingRun& run, const PendingCell& cell, size_t number) {
    constexpr PipelineLogStep step = PipelineLogStep::training;
    // The queue holds each cell's sparse/0 folder; the cell folder is two up.
    const fs::path modelFolder = cell.url;
    const fs::path cellFolder = modelFolder.parent_path().parent_path();
    const fs::path cellOutput = cellFolder / "output.ply";
    const fs::path partialOutput = engines::WorkspaceFiles::partialOutputURL(cellOutput);

    report<&Callbacks::onCellStarted>(int64_t(number), int64_t(run.queue.size()), cell.recommendedIterations);
    const auto startTime = std::chrono::steady_clock::now();

    log(step, "");
    log(step, "═══ Training Cell " + std::to_string(number) + "/" + std::to_string(run.queue.size()) + ": " +
                  cell.cellId + " ═══");
    log(step, "  Parameters: cap_max=" + std::to_string(cell.recommendedCapMax) +
                  ", iterations=" + std::to_string(cell.recommendedIterations));

    CellTrainingOutcome outcome;
    // A cell folder that a link carries out of the workspace is never
    // trained in: the engine would write there.
    bool confined = true;
    try {
        WorkspaceConfinement::checkCellFolder(withoutTrailingSeparator(run.partitionsFolder).parent_path(), cellFolder);
    } catch (const WorkspaceConfinement::OutsideError&) {
        outcome.failure = std::current_exception();
        confined = false;
    }
    if (confined) {
        try {
            symlinkReplacing(cellFolder / "images", run.imageDir);
        } catch (const std::exception& error) {
            log(step, "Error symlinking images for " + cell.cellId + ": " + error.what());
        }
    }

    auto captured = std::make_shared<CapturedLines>();
    auto previousLineHandler = trevikRunner_.onLog;
    trevikRunner_.onLog = [weakSelf = weak_from_this(), captured](const std::string& line) {
        if (auto self = weakSelf.lock()) self->log(PipelineLogStep::training, line);
        std::lock_guard lock(captured->lock);
        captured->lines.push_back(line);
    };

    // One plan cell trains as the whole scene: nothing outside it to cull.
    const bool onlyCell = run.plan.trainableCells().size() == 1;
    if (confined) {
        try {
            // Checked before the narrowing to the runner's int: a plan's larger
            // value would become another one.
            constexpr engines::TrainingLimits::Range iterationRange = engines::TrainingLimits::iterations;
            if (!iterationRange.contains(cell.recommendedIterations))
                throw engines::TrevikRunner::OptionsError(
                    "Cell " + cell.cellId + " is planned with " + std::to_string(cell.recommendedIterations) +
                    " iterations, outside " + std::to_string(iterationRange.minimum) + "…" +
                    std::to_string(iterationRange.maximum));
            removeStaleCellTemporaries(cellFolder, step);
            engines::WorkspaceFiles::removeItemIfExists(partialOutput);
            engines::TrevikRunner::Options options;
            options.datasetPath = cellFolder.string();
            options.outputPath = partialOutput.string();
            options.iterations = int(cell.recommendedIterations);
            options.downscale = run.downscale;
            options.evalMode = run.eval;
            options.capMax = cell.recommendedCapMax;
            options.diagnostics = run.diagnostics;
            if (onlyCell) options.cullRadius = 0.0f;
            if (run.eval) options.earlyStop = 0.05;
            options.maskDir = run.maskDir;
            trevikRunner_.run(options);
        } catch (const std::exception&) {
            outcome.failure = std::current_exception();
        }
    }
    unwatch("trevik");
    // An engine that was killed (out of memory, or by hand) leaves its
    // streamed temporary; the cell's retry or a later resume starts clean.
    if (outcome.failure && confined) removeStaleTemporaries(cellFolder, step);
    if (!outcome.failure) {
        try {
            const auto layout = engines::WorkspaceFiles::promoteValidatedPLY(partialOutput, cellOutput);
            log(step, "  Saved " + std::to_string(layout.vertexCount) + " Gaussians → " +
                          cellOutput.filename().string());
        } catch (const std::exception&) {
            outcome.failure = std::current_exception();
        }
    }
    // A cell whose engine a cancel ended did not fail: the check after the
    // cell ends the operation with the cancel.
    if (outcome.failure && !isCancelRequested()) {
        log(step, "⚠ Cell " + cell.cellId + " training failed: " + describe(outcome.failure));
        run.failureReasons.push_back(cell.cellId + " failed: " + describeWithCause(outcome.failure));
    }
    {
        std::lock_guard lock(captured->lock);
        outcome.outputLines = captured->lines;
    }

    if (!outcome.failure) {
        if (auto transform = partition::SeamlessMerger::estimateNormTransform(modelFolder)) {
            run.mergeInputs.push_back({cellOutput, cell.coreBounds, cell.expandedBounds, modelFolder, *transform,
                                       run.plan.clusterCentroid(cell.cellId)});
            log(step, "✓ Cell " + cell.cellId + " training complete.");
        } else {
            log(step, "⚠ Cell " + cell.cellId + ": Could not compute transform from COLMAP data at " +
                          modelFolder.string() + " — it can't be merged.");
            run.failedCells.push_back(cell.cellId);
        }
        reportTrainingQuality("Cell " + cell.cellId, outcome.outputLines);
    }

    trevikRunner_.onLog = std::move(previousLineHandler);
    report<&Callbacks::onCellFinished>(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count());
    return outcome;
}

}  // namespace tessaron::pipeline
