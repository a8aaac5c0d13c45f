// The driver's reports, bound once for the life of the view model.

#include <QDateTime>
#include <QImage>

#include <algorithm>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

namespace {

// Longest side of a crop as the window holds it.
constexpr int thumbnailSide = 320;

// A deep copy of a BGR(A) or grey picture, at most `longestSide` pixels on
// its long side when given.
QImage toImage(const cv::Mat& picture, std::optional<int> longestSide) {
    if (picture.empty()) return {};
    cv::Mat bgra;
    switch (picture.channels()) {
    case 1: cv::cvtColor(picture, bgra, cv::COLOR_GRAY2BGRA); break;
    case 3: cv::cvtColor(picture, bgra, cv::COLOR_BGR2BGRA); break;
    default: bgra = picture; break;
    }
    const int side = std::max(bgra.cols, bgra.rows);
    if (longestSide && side > *longestSide) {
        const double scale = double(*longestSide) / side;
        cv::Mat small;
        cv::resize(bgra, small, cv::Size(std::max(1, int(bgra.cols * scale + 0.5)), std::max(1, int(bgra.rows * scale + 0.5))),
                   0, 0, cv::INTER_AREA);
        bgra = small;
    }
    // BGRA bytes are ARGB32 words on a little-endian machine.
    return QImage(bgra.data, bgra.cols, bgra.rows, int(bgra.step), QImage::Format_ARGB32).copy();
}

}  // namespace

void PipelineViewModel::bindPipelineCallbacks() {
    // One rule for every handler: the manager calls it on the reporting
    // thread; it copies or shrinks what it was given there (a plan once into
    // a shared immutable object, preview crops into thumbnails, a log line
    // into the buffer) and hands the publication to `post`, which runs it on
    // the main thread only while this object lives. On the reporting thread
    // a handler never touches this object, only `feed` and `lines`.
    const core::Executor post = executor();
    const std::shared_ptr<LiveFeed> feed = feed_;
    const std::shared_ptr<StepLogBuffer::Queue> lines = logBuffer_.queue();
    PipelineViewModel* const target = this;
    pipeline::PipelineManager::Callbacks callbacks;

    callbacks.onLog = [lines, post, target](pipeline::PipelineLogStep step, const std::string& line) {
        ingest(*lines, post, target, step, line);
    };
    callbacks.onStateChange = [post, target](const pipeline::PipelineState& state) {
        post([target, state] {
            // A cancel ends the stage it interrupts, and a driver may report
            // that end as a failure (a terminated child's exit status): it is
            // not one, and the window shows the cancel once the operation
            // has ended. The line that tells it is in the step log.
            if (target->isCancelling() && state.kind == pipeline::PipelineState::Kind::error) return;
            target->setCurrentState(state);
            target->updateRunReport();
            target->updateSfMSnapshotPolling(state);
        });
    };
    callbacks.onWarning = [post, target](const std::string& warning) {
        post([target, warning] { target->addRunReportWarning(warning); });
    };
    callbacks.onTrainingStats = [post, target](int64_t step, int64_t splats, float msPerStep) {
        post([target, step, splats, msPerStep] {
            target->setIteration(step);
            target->setSplatCount(splats);
            target->setMsPerStep(msPerStep);
        });
    };
    callbacks.onPartitionPlanReady = [post, target](const partition::PartitionPlan& plan) {
        post([target, plan = std::make_shared<const partition::PartitionPlan>(plan)] {
            target->setPartitionPlan(plan);
            // A progress still waiting would otherwise reappear over the plan.
            target->cancelPendingPartitionProgress();
            target->setPartitionProgress(std::nullopt);
        });
    };
    callbacks.onPartitionProgress = [feed, post, target](const partition::PartitionProgress& progress) {
        {
            std::lock_guard lock(feed->lock);
            feed->pendingProgress = progress;
        }
        // Each report restarts the wait, so a burst publishes its last value once.
        post([target] { target->progressDebounce_.start(); });
    };
    callbacks.onMaterializationProgress = [post, target](int64_t prepared, int64_t total) {
        post([target, prepared, total] {
            target->setMaterializedCellCount(prepared);
            target->setMaterializationTotalCells(total);
        });
    };
    callbacks.onExtractionProgress = [post, target](int64_t frameIndex, int64_t totalEstimate) {
        post([target, frameIndex, totalEstimate] {
            target->setExtractionCurrent(frameIndex);
            target->setExtractionTotal(totalEstimate);
        });
    };
    callbacks.onConversionPreview = [post, target](const input::VideoFrameExtractor::Conversion360Preview& preview) {
        auto light = std::make_shared<ConversionPreview>();
        light->equirect = toImage(preview.equirect, std::nullopt);
        light->crops.reserve(preview.crops.size());
        for (const cv::Mat& crop : preview.crops) light->crops.push_back(toImage(crop, thumbnailSide));
        light->sourceFrameIndex = preview.sourceFrameIndex;
        light->extractedFrames = preview.extractedFrames;
        post([target, light = ConversionPreviewPointer(std::move(light))] { target->setConversionPreview(light); });
    };
    callbacks.onLogFileReady = [post, target](const std::filesystem::path& logFile) {
        post([target, logFile] { target->setLogFileURL(logFile); });
    };
    callbacks.onOutputReady = [post, target](const std::string& path) {
        post([target, path = QString::fromStdString(path)] { target->setOutputPlyPath(path); });
    };
    callbacks.onCellStarted = [post, target](int64_t cellIndex, int64_t totalCells, int64_t targetIterations) {
        post([target, cellIndex, totalCells, targetIterations] {
            target->setTotalCells(totalCells);
            target->setCurrentCellIndex(cellIndex);
            target->setCurrentCellTargetIterations(targetIterations);
            target->setCellStartedAt(QDateTime::currentDateTime());
            target->setIteration(0);
        });
    };
    callbacks.onCellFinished = [post, target](double seconds) {
        post([target, seconds] {
            CellDurations durations = target->completedCellDurations();
            durations.push_back(seconds);
            target->setCompletedCellDurations(durations);
        });
    };

    progressDebounce_.setSingleShot(true);
    progressDebounce_.setInterval(150);
    connect(&progressDebounce_, &QTimer::timeout, this, &Self::publishPendingPartitionProgress);
    pipelineManager_->setCallbacks(std::move(callbacks));
}

void PipelineViewModel::publishPendingPartitionProgress() {
    std::optional<partition::PartitionProgress> progress;
    {
        std::lock_guard lock(feed_->lock);
        progress = std::exchange(feed_->pendingProgress, std::nullopt);
    }
    if (progress) setPartitionProgress(progress);
}

void PipelineViewModel::cancelPendingPartitionProgress() {
    progressDebounce_.stop();
    std::lock_guard lock(feed_->lock);
    feed_->pendingProgress.reset();
}

}  // namespace tessaron::viewmodel
