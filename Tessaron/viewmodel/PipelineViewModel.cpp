#include "viewmodel/PipelineViewModel.hpp"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "engines/PhysicalMemory.hpp"

namespace tessaron::viewmodel {

namespace {

using Kind = pipeline::PipelineState::Kind;

// A state's place in the working order; -1 for idle, extraction and error,
// which come from no state.
int workingOrder(Kind kind) {
    switch (kind) {
    case Kind::processingSfM: return 0;
    case Kind::preparingData: return 1;
    case Kind::awaitingPartitionApproval: return 2;
    case Kind::materializingCells: return 3;
    case Kind::training: return 4;
    case Kind::exporting: return 5;
    case Kind::completed: return 6;
    case Kind::idle:
    case Kind::extractingFrames:
    case Kind::error: return -1;
    }
    return -1;
}

// The state is `reference` or a later one of the working order.
bool isFrom(Kind state, Kind reference) {
    return workingOrder(state) >= 0 && workingOrder(state) >= workingOrder(reference);
}

bool isWorking(Kind kind) {
    switch (kind) {
    case Kind::extractingFrames:
    case Kind::processingSfM:
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells:
    case Kind::training:
    case Kind::exporting: return true;
    case Kind::idle:
    case Kind::completed:
    case Kind::error: return false;
    }
    return false;
}

}  // namespace

std::optional<WorkflowStep> workflowStepOf(Kind state) {
    switch (state) {
    case Kind::extractingFrames: return WorkflowStep::input;
    case Kind::processingSfM: return WorkflowStep::sfm;
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells: return WorkflowStep::planning;
    case Kind::training: return WorkflowStep::training;
    case Kind::exporting: return WorkflowStep::final;
    case Kind::idle:
    case Kind::completed:
    case Kind::error: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<pipeline::PipelineLogStep> logStepOf(Kind state) {
    using Step = pipeline::PipelineLogStep;
    switch (state) {
    case Kind::idle: return std::nullopt;
    case Kind::extractingFrames: return Step::extraction;
    case Kind::processingSfM: return Step::sfm;
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells: return Step::dataPrep;
    case Kind::training: return Step::training;
    case Kind::exporting:
    case Kind::completed:
    case Kind::error: return Step::export_;
    }
    return std::nullopt;
}

std::string localeGroupedCount(int64_t count) {
    QLocale locale;
    // Qt's C locale leaves groups out unless asked.
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(static_cast<qint64>(count)).toStdString();
}

double defaultRamLimitGB(uint64_t physicalMemoryBytes) {
    // Cut, not rounded: the limit stays within the machine's memory less 3,
    // and it is the top of the form's slider, whose stops are whole GB.
    return std::max(std::floor(static_cast<double>(physicalMemoryBytes) / 1073741824.0 - 3.0), 4.0);
}

PipelineViewModel::PipelineViewModel(QObject* parent) : PipelineViewModel(Configuration{}, parent) {}

PipelineViewModel::PipelineViewModel(Configuration configuration, QObject* parent)
    : QObject(parent), configuration_(std::move(configuration)) {
    ramLimitGB_ = defaultRamLimitGB(physicalMemoryBytes());
    // The manager holds the monitor weakly, so the monitor is shared, and it
    // exists before the manager is created.
    processMonitor_ = std::make_shared<engines::ProcessMonitor>(mainThread_.executor());
    hostStats_ = engines::HostStats(configuration_.procFolder);
    pipelineManager();
    bindPipelineCallbacks();
    connect(&logFlushTimer_, &QTimer::timeout, this, &Self::flushLogBuffer);
    connect(&telemetryTimer_, &QTimer::timeout, this, &Self::sampleHostTelemetry);
    connect(&sfmSnapshotPollTimer_, &QTimer::timeout, this, &Self::pollSfMSnapshot);
    processMonitor_->start();
    // Any state but idle is news that replaces the note of a cancelled run.
    connect(this, &Self::currentStateChanged, this, [this] {
        if (currentState_.kind != Kind::idle) setCancelledRun({});
    });
    connect(this, &Self::currentWorkspaceURLChanged, this, [this] {
        if (currentWorkspaceURL_) lastWorkspaceURL_ = currentWorkspaceURL_;
    });
    derived_ = computeDerived();
}

PipelineViewModel::~PipelineViewModel() {
    // First, so that nothing queued or reported from now on reaches us.
    mainThread_.invalidate();
    if (!activeTask_.joinable()) return;
    // The stop request comes first: an operation that has not reached its
    // own start yet still sees it there.
    activeTask_.request_stop();
    pipelineManager_->forceKill();
    bool ended = false;
    {
        std::unique_lock lock(activeTaskEnd_->lock);
        ended = activeTaskEnd_->ended.wait_for(lock, operationEndGrace, [&] { return activeTaskEnd_->done; });
    }
    if (ended) {
        activeTask_.join();
        return;
    }
    // A stage that does not look at the cancel (a merge, a plan being
    // computed) must not hold the application's end: its worker is let go.
    // It reaches nothing of this object any more (the executor is invalid,
    // the manager it uses is shared), and the process ends with it.
    activeTask_.detach();
}

uint64_t PipelineViewModel::physicalMemoryBytes() const {
    return configuration_.physicalMemoryBytes.value_or(engines::physicalMemoryBytes());
}

const std::shared_ptr<pipeline::PipelineManager>& PipelineViewModel::pipelineManager() {
    // The manager calls each callback on the reporting thread (the inline
    // executor): the handlers bound in bindPipelineCallbacks() make their
    // values light there and hop to the main thread themselves.
    if (!pipelineManager_)
        pipelineManager_ =
            pipeline::PipelineManager::create(processMonitor_, configuration_.manager, core::inlineExecutor());
    return pipelineManager_;
}

// ---- Observed setters --------------------------------------------------------

void PipelineViewModel::setCurrentCellIndex(const qint64& value) {
    publish(currentCellIndex_, value, &Self::currentCellIndexChanged);
    // On every store, changed or not: the cell count may have changed with it.
    if (currentState_.kind == Kind::training) updateRunReport();
}

void PipelineViewModel::setTrainingCapMax(const qint64& value) {
    // Clamped before it is stored, so observers never see a value out of range.
    publish(trainingCapMax_, std::clamp<qint64>(value, 0, maxTrainingCapMax), &Self::trainingCapMaxChanged);
}

// ---- Computed values -----------------------------------------------------------

bool PipelineViewModel::isBusy() const { return hasActiveOperation_ || isWorking(currentState_.kind); }

bool PipelineViewModel::canStart() const {
    return !activeTask_.joinable() && !isBusy() && selectedInputURL_.has_value() && !isAnalyzingInput_ &&
           !isLikely360Video() && trainingCapMax_ >= minimumStartCapMax && (!skipSfM_ || colmapDataURL_.has_value());
}

bool PipelineViewModel::isLikely360Video() const {
    return isInputVideo_ && spherical360Detection_ &&
           spherical360Detection_->kind != input::Spherical360Detection::Kind::likelyEquirectangular;
}

OptionalPath PipelineViewModel::colmapSparseDir() const {
    if (colmapDataURL_) return *colmapDataURL_ / "sparse" / "0";
    if (currentWorkspaceURL_) return *currentWorkspaceURL_ / "colmap" / "sparse" / "0";
    return std::nullopt;
}

OptionalPath PipelineViewModel::sfmSnapshotsURL() const {
    if (skipSfM_ || !currentWorkspaceURL_) return std::nullopt;
    return *currentWorkspaceURL_ / "colmap" / "snapshots";
}

QString PipelineViewModel::currentStepTitle() const {
    // Where an error stopped the run: the last working step the report recorded.
    if (currentState_.kind == Kind::error && runReport_) return QString::fromStdString(runReport_->step);
    return QString::fromStdString(pipeline::stepTitle(currentState_, currentCellIndex_, totalCells_));
}

OptionalSeconds PipelineViewModel::estimatedTimeRemaining() const {
    if (completedCellDurations_.empty() || !cellStartedAt_) return std::nullopt;
    const double average = std::accumulate(completedCellDurations_.begin(), completedCellDurations_.end(), 0.0) /
                           static_cast<double>(completedCellDurations_.size());
    const double cellsAfter = static_cast<double>(std::max<qint64>(totalCells_ - currentCellIndex_, 0));
    // The global iteration setting, not the cell's own target.
    const double done = static_cast<double>(iteration_) / static_cast<double>(std::max<qint64>(trainingIterations_, 1));
    double current = done < 1 ? average * (1 - std::max(done, 0.0)) : 0;
    // A cell at or past its iterations still counts 5 % of an average cell.
    current = std::max(current, average * 0.05);
    return average * cellsAfter + current;
}

SettingRows PipelineViewModel::settingsSummary() const {
    return pipeline::RunReport::settingsSummary({.modelSize = trainingCapMax_,
                                                 .downscale = trevikDownscaleFactor_,
                                                 .eval = trevikEvalMode_,
                                                 .ramLimitGB = ramLimitGB_,
                                                 .partitioning = useVastGaussian_,
                                                 .skipSfM = skipSfM_},
                                                localeGroupedCount);
}

StepStatuses PipelineViewModel::stepStatuses() const {
    StepStatuses statuses;
    for (size_t index = 0; index < allWorkflowSteps.size(); ++index)
        statuses[index] = stepStatus(allWorkflowSteps[index]);
    return statuses;
}

StepProgress PipelineViewModel::stepStatus(WorkflowStep step) const {
    const Kind state = currentState_.kind;
    auto ratio = [](qint64 part, qint64 whole) { return static_cast<double>(part) / static_cast<double>(whole); };
    switch (step) {
    case WorkflowStep::input:
        if (state == Kind::extractingFrames)
            return extractionTotal_ > 0 ? StepProgress::fraction(ratio(extractionCurrent_, extractionTotal_))
                                        : StepProgress::indeterminate();
        return isFrom(state, Kind::processingSfM) ? StepProgress::done() : StepProgress::none();
    case WorkflowStep::sfm:
        if (state == Kind::processingSfM) {
            if (sfmTotalImages_ <= 0 || sfmRegisteredImages_ <= 0) return StepProgress::indeterminate();
            // Registered frames become images: a 360° frame is one image per crop.
            const qint64 images = sfmRegisteredImages_ * std::max<qint64>(sfmViewsPerFrame_, 1);
            return StepProgress::fraction(std::min(1.0, ratio(images, sfmTotalImages_)));
        }
        return isFrom(state, Kind::preparingData) ? StepProgress::done() : StepProgress::none();
    case WorkflowStep::planning:
        if (state == Kind::preparingData) return StepProgress::indeterminate();
        if (state == Kind::awaitingPartitionApproval) return StepProgress::done();
        if (state == Kind::materializingCells)
            return materializationTotalCells_ > 0
                       ? StepProgress::fraction(ratio(materializedCellCount_, materializationTotalCells_))
                       : StepProgress::indeterminate();
        return isFrom(state, Kind::training) ? StepProgress::done() : StepProgress::none();
    case WorkflowStep::training:
        if (state == Kind::training) {
            if (totalCells_ <= 0) return StepProgress::indeterminate();
            const qint64 target = currentCellTargetIterations_.value_or(trainingIterations_);
            const double cell = std::min(1.0, ratio(iteration_, std::max<qint64>(target, 1)));
            const double finished = static_cast<double>(completedCellDurations_.size());
            return StepProgress::fraction(std::min(1.0, (cell + finished) / static_cast<double>(totalCells_)));
        }
        return isFrom(state, Kind::exporting) ? StepProgress::done() : StepProgress::none();
    case WorkflowStep::final:
        if (state == Kind::exporting) return StepProgress::indeterminate();
        return state == Kind::completed ? StepProgress::done() : StepProgress::none();
    }
    return StepProgress::none();
}

PipelineViewModel::DerivedValues PipelineViewModel::computeDerived() const {
    return {isBusy(),          canStart(),          isLikely360Video(),
            colmapSparseDir(), sfmSnapshotsURL(),   currentStepTitle(),
            estimatedTimeRemaining(), settingsSummary(), stepStatuses()};
}

void PipelineViewModel::refreshDerived() {
    // Every new value is stored before the first signal, so a receiver that
    // reads any computed value sees the new one.
    const DerivedValues previous = std::exchange(derived_, computeDerived());
    const DerivedValues current = derived_;
    if (previous.isBusy != current.isBusy) emit isBusyChanged();
    if (previous.canStart != current.canStart) emit canStartChanged();
    if (previous.isLikely360Video != current.isLikely360Video) emit isLikely360VideoChanged();
    if (previous.colmapSparseDir != current.colmapSparseDir) emit colmapSparseDirChanged();
    if (previous.sfmSnapshotsURL != current.sfmSnapshotsURL) emit sfmSnapshotsURLChanged();
    if (previous.currentStepTitle != current.currentStepTitle) emit currentStepTitleChanged();
    if (previous.estimatedTimeRemaining != current.estimatedTimeRemaining) emit estimatedTimeRemainingChanged();
    if (previous.settingsSummary != current.settingsSummary) emit settingsSummaryChanged();
    if (previous.stepStatuses != current.stepStatuses) emit stepStatusesChanged();
}

// ---- Run report ----------------------------------------------------------------

OptionalPath PipelineViewModel::runReportFolder() const { return pipelineManager_->logFolder(); }

void PipelineViewModel::saveRunReport() {
    const OptionalPath folder = runReportFolder();
    if (!runReport_ || !folder) return;
    try {
        pipeline::RunReport::save(*runReport_, *folder);
    } catch (const pipeline::RunReport::SaveError& error) {
        // A full or read-only support folder costs the report, not the run:
        // it is said once, in the log the window shows now.
        if (std::exchange(runReportSaveFailureLogged_, true)) return;
        pipeline::PipelineLogStep step = pipeline::PipelineLogStep::extraction;
        if (std::optional<pipeline::PipelineLogStep> shown = logStepOf(currentState_.kind)) step = *shown;
        logOperationLine(step, std::string("\u26a0 ") + error.what());
    }
}

void PipelineViewModel::beginRunReport(const std::string& kind, const std::string& input,
                                       const SettingRows& settings) {
    pipeline::RunReport report;
    report.kind = kind;
    report.startedAt = core::Clock::now();
    report.input = input;
    report.settings = settings;
    report.step = "Starting";
    report.outcome = pipeline::RunReport::Outcome::running;
    runReportSaveFailureLogged_ = false;
    setRunReport(report);
    setRunReportActive(true);
    saveRunReport();
}

void PipelineViewModel::updateRunReport() {
    if (!runReportActive_ || !runReport_) return;
    pipeline::RunReport report = *runReport_;
    const Kind state = currentState_.kind;
    if (state == Kind::idle) return;
    if (isWorking(state)) {
        report.step = currentStepTitle().toStdString();
    } else if (state == Kind::completed) {
        report.outcome = pipeline::RunReport::Outcome::completed;
        report.endedAt = core::Clock::now();
    } else {
        // An error while cancelling is the cancel's own end, not a failure.
        if (isCancelling_) {
            report.outcome = pipeline::RunReport::Outcome::cancelled;
            report.error.reset();
        } else {
            report.outcome = pipeline::RunReport::Outcome::failed;
            report.error = currentState_.message;
        }
        report.endedAt = core::Clock::now();
    }
    setRunReport(report);
    saveRunReport();
}

void PipelineViewModel::cancelActiveRunReport() {
    if (!runReportActive_ || !runReport_ || runReport_->outcome != pipeline::RunReport::Outcome::running) return;
    pipeline::RunReport report = *runReport_;
    report.outcome = pipeline::RunReport::Outcome::cancelled;
    report.endedAt = core::Clock::now();
    setRunReport(report);
    saveRunReport();
}

// ---- Operations ------------------------------------------------------------------

void PipelineViewModel::runTrackedOperation(OperationBody body, std::function<void()> afterBody) {
    if (activeTask_.joinable()) return;
    setCancelledRun({});
    activeTaskEnd_ = std::make_shared<TaskEnd>();
    // The posted closure may name this object: the executor runs it only
    // while the object lives, on the main thread where it is destroyed.
    activeTask_ = std::jthread([this, post = executor(), end = activeTaskEnd_, body = std::move(body),
                                afterBody = std::move(afterBody)](std::stop_token stopToken) {
        body(stopToken);
        post([this, afterBody] {
            if (afterBody) afterBody();
            completeOperation();
            afterOperationEnded();
        });
        {
            std::lock_guard lock(end->lock);
            end->done = true;
        }
        end->ended.notify_all();
    });
    refreshDerived();
}

void PipelineViewModel::completeOperation() {
    using Outcome = pipeline::RunReport::Outcome;
    // The operation's last lines (a cancel's "Pipeline cancelled." among
    // them) are in the step logs before its end is shown.
    flushLogBuffer();
    if (runReport_ && (runReport_->outcome == Outcome::running ||
                       (runReport_->outcome == Outcome::failed && isCancelling_))) {
        pipeline::RunReport report = *runReport_;
        report.outcome = Outcome::cancelled;
        report.error.reset();
        report.endedAt = core::Clock::now();
        setRunReport(report);
        saveRunReport();
    }
    setRunReportActive(false);
    // The worker posted this as its last act; joining it is immediate.
    activeTask_ = std::jthread();
    refreshDerived();
    setHasActiveOperation(false);
    if (isCancelling_) {
        const CancelledRun cancelled = endedCancelledRun();
        setIsCancelling(false);
        setCurrentState(Kind::idle);
        updateRunReport();
        setCancelledRun(cancelled);
    }
}

CancelledRun PipelineViewModel::endedCancelledRun() const {
    CancelledRun cancelled;
    // A cancel ends in the working state it interrupted: the driver's
    // failure of the stopped stage is not published while cancelling.
    cancelled.step = workflowStepOf(currentState_.kind);
    cancelled.stepTitle = runReport_ ? QString::fromStdString(runReport_->step) : currentStepTitle();
    {
        std::lock_guard lock(feed_->lock);
        cancelled.lastLogStep = feed_->lastStep;
    }
    if (!cancelled.lastLogStep) cancelled.lastLogStep = logStepOf(currentState_.kind);
    return cancelled;
}

}  // namespace tessaron::viewmodel
