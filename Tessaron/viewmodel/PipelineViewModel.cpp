#include "viewmodel/PipelineViewModel.hpp"

#include <QLocale>

#include <algorithm>
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

PipelineViewModel::PipelineViewModel(QObject* parent) : PipelineViewModel(Configuration{}, parent) {}

PipelineViewModel::PipelineViewModel(Configuration configuration, QObject* parent)
    : QObject(parent),
      configuration_(std::move(configuration)),
      logBuffer_([this](pipeline::PipelineLogStep step, const QString& batch) { appendToStepLog(step, batch); }),
      telemetry_(HostTelemetrySampler::hostSource(configuration_.procFolder),
                 [this](const HostTelemetrySampler::Sample& sample) {
                     if (sample.cpuPercent) setCpuUsage(*sample.cpuPercent);
                     if (sample.ramUsage) setRamUsageString(*sample.ramUsage);
                 }),
      snapshotPoller_([this] { return sfmSnapshotsURL(); },
                      [this](SnapshotPointer snapshot) { setLatestSfMSnapshot(std::move(snapshot)); },
                      std::chrono::milliseconds(configuration_.sfmSnapshotPollMilliseconds)),
      reportKeeper_([this] { return pipelineManager_->logFolder(); },
                    [this](const std::string& line) {
                        // Said in the log the window shows now.
                        pipeline::PipelineLogStep step = pipeline::PipelineLogStep::extraction;
                        if (std::optional<pipeline::PipelineLogStep> shown = logStepOf(currentState_.kind))
                            step = *shown;
                        logOperationLine(step, line);
                    }) {
    settings_.ramLimitGB = defaultRamLimitGB(physicalMemoryBytes());
    // The manager holds the monitor weakly, so the monitor is shared, and it
    // exists before the manager is created.
    processMonitor_ = std::make_shared<engines::ProcessMonitor>(mainThread_.executor());
    pipelineManager();
    bindPipelineCallbacks();
    processMonitor_->start();
    // Any state but idle is news that replaces the note of a cancelled run.
    connect(this, &Self::currentStateChanged, this, [this] {
        if (currentState_.kind != Kind::idle) setCancelledRun({});
        trackFailure();
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
    publish(settings_.trainingCapMax, std::clamp<qint64>(value, 0, maxTrainingCapMax), &Self::trainingCapMaxChanged);
}

// ---- Computed values -----------------------------------------------------------

bool PipelineViewModel::isBusy() const { return hasActiveOperation_ || isWorking(currentState_.kind); }

bool PipelineViewModel::canStart() const {
    return !activeTask_.joinable() && !isBusy() && selectedInputURL_.has_value() && !isAnalyzingInput_ &&
           !isLikely360Video() && settings_.trainingCapMax >= minimumStartCapMax &&
           (!settings_.skipSfM || settings_.colmapDataURL.has_value());
}

bool PipelineViewModel::isLikely360Video() const {
    return isInputVideo_ && spherical360Detection_ &&
           spherical360Detection_->kind != input::Spherical360Detection::Kind::likelyEquirectangular;
}

OptionalPath PipelineViewModel::colmapSparseDir() const {
    if (settings_.colmapDataURL) return *settings_.colmapDataURL / "sparse" / "0";
    if (currentWorkspaceURL_) return *currentWorkspaceURL_ / "colmap" / "sparse" / "0";
    return std::nullopt;
}

OptionalPath PipelineViewModel::sfmSnapshotsURL() const {
    if (settings_.skipSfM || !currentWorkspaceURL_) return std::nullopt;
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
    const double done =
        static_cast<double>(iteration_) / static_cast<double>(std::max<qint64>(settings_.trainingIterations, 1));
    double current = done < 1 ? average * (1 - std::max(done, 0.0)) : 0;
    // A cell at or past its iterations still counts 5 % of an average cell.
    current = std::max(current, average * 0.05);
    return average * cellsAfter + current;
}

SettingRows PipelineViewModel::settingsSummary() const {
    return pipeline::RunReport::settingsSummary(settings_.reportSettings(), localeGroupedCount);
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
            const qint64 target = currentCellTargetIterations_.value_or(settings_.trainingIterations);
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

void PipelineViewModel::saveRunReport() {
    if (runReport_) reportKeeper_.save(*runReport_);
}

void PipelineViewModel::beginRunReport(const std::string& kind, const std::string& input,
                                       const SettingRows& settings) {
    setRunReport(reportKeeper_.begin(kind, input, settings));
    setRunReportActive(true);
    saveRunReport();
}

void PipelineViewModel::updateRunReport() {
    if (!runReportActive_ || !runReport_) return;
    std::optional<pipeline::RunReport> report =
        RunReportKeeper::advanced(*runReport_, currentState_, currentStepTitle().toStdString(), isCancelling_);
    if (!report) return;
    setRunReport(report);
    saveRunReport();
}

void PipelineViewModel::addRunReportWarning(const std::string& warning) {
    if (!runReportActive_ || !runReport_) return;
    pipeline::RunReport report = *runReport_;
    report.warnings.push_back(warning);
    setRunReport(report);
    saveRunReport();
}

void PipelineViewModel::cancelActiveRunReport() {
    if (!runReportActive_ || !runReport_ || runReport_->outcome != pipeline::RunReport::Outcome::running) return;
    setRunReport(RunReportKeeper::cancelled(*runReport_));
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
        setRunReport(RunReportKeeper::cancelled(*runReport_));
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

void PipelineViewModel::trackFailure() {
    if (isWorking(currentState_.kind)) {
        lastWorkingState_ = currentState_;
        setFailedRun({});
        return;
    }
    if (currentState_.kind != Kind::error) {
        lastWorkingState_.reset();
        setFailedRun({});
        return;
    }
    FailedRun failed;
    if (lastWorkingState_) {
        failed.step = workflowStep(*lastWorkingState_);
        failed.stepTitle =
            QString::fromStdString(pipeline::stepTitle(*lastWorkingState_, currentCellIndex_, totalCells_));
    }
    // The driver writes a failure's reason into the log of its stage just
    // before it reports the error; outside an operation the buffer still
    // holds the previous one's lines, which say nothing about this error.
    if (hasActiveOperation_) failed.logStep = logBuffer_.queue()->lastStep();
    if (!failed.logStep && lastWorkingState_) failed.logStep = logStepOf(lastWorkingState_->kind);
    lastWorkingState_.reset();
    setFailedRun(failed);
}

CancelledRun PipelineViewModel::endedCancelledRun() const {
    CancelledRun cancelled;
    // A cancel ends in the working state it interrupted: the driver's
    // failure of the stopped stage is not published while cancelling.
    cancelled.step = isWorking(currentState_.kind) ? workflowStep(currentState_) : std::nullopt;
    cancelled.stepTitle = runReport_ ? QString::fromStdString(runReport_->step) : currentStepTitle();
    cancelled.lastLogStep = logBuffer_.queue()->lastStep();
    if (!cancelled.lastLogStep) cancelled.lastLogStep = logStepOf(currentState_.kind);
    return cancelled;
}

}  // namespace tessaron::viewmodel
