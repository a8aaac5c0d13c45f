#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <QDateTime>
#include <QMimeData>
#include <QObject>
#include <QString>
#include <QTimer>

#include "core/Error.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/HostStats.hpp"
#include "engines/ProcessMonitor.hpp"
#include "engines/SceneAnalysis.hpp"
#include "engines/TrainingLimits.hpp"
#include "input/CropLayout.hpp"
#include "input/PersonMaskMode.hpp"
#include "input/Spherical360Detection.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/PartitionProgress.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/PipelineState.hpp"
#include "pipeline/RunReport.hpp"
#include "pipeline/WorkspaceScanner.hpp"
#include "viewmodel/CancelledRun.hpp"
#include "viewmodel/ConversionPreview.hpp"
#include "viewmodel/DialogService.hpp"
#include "viewmodel/FailedRun.hpp"
#include "viewmodel/MainThreadExecutor.hpp"
#include "viewmodel/HostTelemetrySampler.hpp"
#include "viewmodel/PublishedProperty.hpp"
#include "viewmodel/RunReportKeeper.hpp"
#include "viewmodel/RunSettings.hpp"
#include "viewmodel/SfMLiveSnapshot.hpp"
#include "viewmodel/SfMSnapshotPoller.hpp"
#include "viewmodel/StepLogBuffer.hpp"
#include "viewmodel/StepProgress.hpp"
#include "viewmodel/WorkflowStep.hpp"

namespace tessaron::viewmodel {

// The value types of the properties below, named once so that each property
// reads on one line.
using OptionalPath = std::optional<std::filesystem::path>;
using OptionalFlag = std::optional<bool>;
using OptionalText = std::optional<QString>;
using OptionalCount = std::optional<qint64>;
using OptionalDate = std::optional<QDateTime>;
using OptionalSeconds = std::optional<double>;
using CellDurations = std::vector<double>;
using SettingRows = std::vector<pipeline::RunReport::Setting>;
using OptionalRunReport = std::optional<pipeline::RunReport>;
using OptionalDetection = std::optional<input::Spherical360Detection>;
using OptionalDatasetProfile = std::optional<engines::DatasetProfile>;
using OptionalSceneAnalysis = std::optional<engines::SceneAnalysis>;
using OptionalScanResult = std::optional<pipeline::WorkspaceScanResult>;
using OptionalPartitionProgress = std::optional<partition::PartitionProgress>;
// Large values travel as shared, immutable objects: a new value is a new
// object, so the pointer tells a change.
using PartitionPlanPointer = std::shared_ptr<const partition::PartitionPlan>;
using ConversionPreviewPointer = std::shared_ptr<const ConversionPreview>;
using SnapshotPointer = std::shared_ptr<const SfMLiveSnapshot>;
// One status per WorkflowStep, in the order of allWorkflowSteps.
using StepStatuses = std::array<StepProgress, 5>;

// The one observable state of the window: every run setting, every live
// value the views show, and the handles of the operation in progress.
//
// A view binds to a property by reading its getter and connecting to its
// change signal (`<name>Changed`), and writes a setting through its setter.
// Every signal fires once per real change and never for an unchanged value;
// the computed values (isBusy, canStart, currentStepTitle, stepStatuses, ...)
// signal too, whenever a change of the stored values changes them.
//
// Threads: the object and all its properties belong to the main (GUI)
// thread. Work from other threads reaches it only through executor(), whose
// work runs on the main thread and never after the object is gone. An
// operation body runs on the operation's own worker thread (activeTask_).
// The driver's callbacks are bound once, at construction, and serve every
// operation. What reporting threads share with the main thread is the log
// buffer's queue and `feed_`, each under its own lock; a snapshot read runs
// on the poller's worker with copies of what it needs.
class PipelineViewModel : public QObject {
    Q_OBJECT
    using Self = PipelineViewModel;

public:
    // What tests and the developer harness may put in place of the machine's
    // own values.
    struct Configuration {
        std::optional<uint64_t> physicalMemoryBytes;  // none: the machine's
        // The manager's programs and support folder; the support folder's
        // "Logs" also receives last_run.json.
        pipeline::PipelineManager::Configuration manager;
        // Where the host telemetry reads `stat` and `meminfo`.
        std::filesystem::path procFolder = "/proc";
        // Between two looks at COLMAP's snapshot folders.
        int sfmSnapshotPollMilliseconds = 1500;
    };

    // A new operation's body, run on the operation's worker thread with the
    // task's stop token.
    using OperationBody = std::function<void(std::stop_token)>;

    explicit PipelineViewModel(QObject* parent = nullptr);
    explicit PipelineViewModel(Configuration configuration, QObject* parent = nullptr);
    // Cancels a running operation, kills its child process and waits for the
    // operation's thread, which then ends at its next stage boundary; nothing
    // it reports afterwards reaches this object. A stage that does not look
    // at the cancel is waited for no longer than operationEndGrace.
    ~PipelineViewModel() override;

    // How long the destructor waits for a cancelled operation to end.
    static constexpr std::chrono::milliseconds operationEndGrace{5000};

    // ---- Run state ---------------------------------------------------------
    TESSARON_PUBLISHED(pipeline::PipelineState, currentState, CurrentState, {})
    TESSARON_PUBLISHED_READONLY(OptionalRunReport, runReport, {})
    TESSARON_PUBLISHED_READONLY(bool, runReportActive, false)
    // Set when a cancelled operation has ended; cleared by the next
    // operation, a reset, or any state other than idle.
    TESSARON_PUBLISHED_READONLY(OptionalCancelledRun, cancelledRun, {})
    // Set while an error state is shown: which step failed and which step
    // log tells why. Cleared by any other state.
    TESSARON_PUBLISHED_READONLY(OptionalFailedRun, failedRun, {})

    // ---- Step logs and view flags ------------------------------------------
    TESSARON_PUBLISHED(QString, extractionLog, ExtractionLog, {})
    TESSARON_PUBLISHED(QString, sfmLog, SfmLog, {})
    TESSARON_PUBLISHED(QString, dataPrepLog, DataPrepLog, {})
    TESSARON_PUBLISHED(QString, trainingLog, TrainingLog, {})
    TESSARON_PUBLISHED(QString, exportLog, ExportLog, {})
    TESSARON_PUBLISHED(bool, isLogMenuExpanded, IsLogMenuExpanded, false)
    TESSARON_PUBLISHED(bool, showAdvanced, ShowAdvanced, false)
    TESSARON_PUBLISHED(OptionalText, tourScrollTarget, TourScrollTarget, {})
    // Set once, right after creation, on the guided tour's sample models.
    TESSARON_PUBLISHED(bool, isTourSample, IsTourSample, false)

    // ---- Training statistics and telemetry ---------------------------------
    TESSARON_PUBLISHED(qint64, iteration, Iteration, 0)
    TESSARON_PUBLISHED(qint64, splatCount, SplatCount, 0)
    TESSARON_PUBLISHED(float, msPerStep, MsPerStep, 0)
    TESSARON_PUBLISHED(double, cpuUsage, CpuUsage, 0)
    TESSARON_PUBLISHED(QString, ramUsageString, RamUsageString, QStringLiteral("0 MB"))
    TESSARON_PUBLISHED(OptionalText, engineRamString, EngineRamString, {})

    // ---- Cells -------------------------------------------------------------
    // As the driver reports it, counted from 1. Every store during training
    // refreshes the run report, whose step names the cell.
    TESSARON_PUBLISHED_OBSERVED(qint64, currentCellIndex, CurrentCellIndex, 0)
    TESSARON_PUBLISHED(qint64, totalCells, TotalCells, 1)
    TESSARON_PUBLISHED(OptionalCount, currentCellTargetIterations, CurrentCellTargetIterations, {})
    TESSARON_PUBLISHED(OptionalDate, cellStartedAt, CellStartedAt, {})
    TESSARON_PUBLISHED(CellDurations, completedCellDurations, CompletedCellDurations, {})

    // ---- Input and settings ------------------------------------------------
    TESSARON_PUBLISHED(OptionalPath, selectedInputURL, SelectedInputURL, {})
    TESSARON_PUBLISHED(bool, isInputVideo, IsInputVideo, false)
    TESSARON_PUBLISHED(OptionalPath, currentWorkspaceURL, CurrentWorkspaceURL, {})
    // The run settings live in one RunSettings value (runSettings()); each
    // field is also a property of its own, which the form binds to.
    TESSARON_PUBLISHED_SETTING(qint64, frameExtractionRate, FrameExtractionRate)
    TESSARON_PUBLISHED_SETTING(qint64, trainingIterations, TrainingIterations)
    TESSARON_PUBLISHED_SETTING(bool, sharpnessFilterEnabled, SharpnessFilterEnabled)
    TESSARON_PUBLISHED_SETTING(double, sharpnessThreshold, SharpnessThreshold)
    TESSARON_PUBLISHED_SETTING(bool, colmapUseSingleCamera, ColmapUseSingleCamera)
    TESSARON_PUBLISHED_SETTING(bool, trevikEvalMode, TrevikEvalMode)
    TESSARON_PUBLISHED_SETTING(qint64, trevikDownscaleFactor, TrevikDownscaleFactor)  // 0: automatic
    // The model size; every store is limited to 0 … maxTrainingCapMax.
    TESSARON_PUBLISHED_SETTING_OBSERVED(qint64, trainingCapMax, TrainingCapMax)
    TESSARON_PUBLISHED_SETTING(bool, useVastGaussian, UseVastGaussian)
    TESSARON_PUBLISHED_SETTING(bool, useGlobalMapper, UseGlobalMapper)
    TESSARON_PUBLISHED_SETTING(bool, useGPUSIFT, UseGPUSIFT)
    TESSARON_PUBLISHED_SETTING(bool, useAggressiveSIFT, UseAggressiveSIFT)
    // The form, the plan, the run log and the report all show this value,
    // so it starts whole, as the form's slider sets it: max(physical GiB − 3,
    // 4) cut to whole GiB, set by the constructor.
    TESSARON_PUBLISHED_SETTING(double, ramLimitGB, RamLimitGB)
    TESSARON_PUBLISHED_SETTING(bool, diagnosticsEnabled, DiagnosticsEnabled)

    // ---- 360° input --------------------------------------------------------
    TESSARON_PUBLISHED(OptionalDetection, spherical360Detection, Spherical360Detection, {})
    TESSARON_PUBLISHED_SETTING(bool, treatAs360, TreatAs360)
    TESSARON_PUBLISHED_SETTING(input::CropLayoutPreset, cropLayoutPreset, CropLayoutPreset)
    TESSARON_PUBLISHED_SETTING(input::PersonMaskMode, personMaskMode, PersonMaskMode)
    TESSARON_PUBLISHED(qint64, sfmViewsPerFrame, SfmViewsPerFrame, 1)
    TESSARON_PUBLISHED(ConversionPreviewPointer, conversionPreview, ConversionPreview, {})
    TESSARON_PUBLISHED(bool, show360Inspector, Show360Inspector, false)

    // ---- Partitioning, counters, live point cloud --------------------------
    TESSARON_PUBLISHED(PartitionPlanPointer, partitionPlan, PartitionPlan, {})
    TESSARON_PUBLISHED(OptionalPartitionProgress, partitionProgress, PartitionProgress, {})
    TESSARON_PUBLISHED(qint64, materializedCellCount, MaterializedCellCount, 0)
    TESSARON_PUBLISHED(qint64, materializationTotalCells, MaterializationTotalCells, 0)
    TESSARON_PUBLISHED(qint64, extractionCurrent, ExtractionCurrent, 0)
    TESSARON_PUBLISHED(qint64, extractionTotal, ExtractionTotal, 0)
    TESSARON_PUBLISHED(qint64, sfmRegisteredImages, SfmRegisteredImages, 0)
    TESSARON_PUBLISHED(qint64, sfmTotalImages, SfmTotalImages, 0)
    TESSARON_PUBLISHED(SnapshotPointer, latestSfMSnapshot, LatestSfMSnapshot, {})

    // ---- Analyses, existing model, results ---------------------------------
    TESSARON_PUBLISHED(OptionalDatasetProfile, datasetProfile, DatasetProfile, {})
    // The photo folder's files that look like photos but that COLMAP is
    // not given, in the run's own "⚠" line; none when there are none.
    TESSARON_PUBLISHED(OptionalText, photoFolderWarning, PhotoFolderWarning, {})
    TESSARON_PUBLISHED_SETTING(bool, skipSfM, SkipSfM)
    TESSARON_PUBLISHED_SETTING(OptionalPath, colmapDataURL, ColmapDataURL)
    TESSARON_PUBLISHED(OptionalSceneAnalysis, sceneAnalysis, SceneAnalysis, {})
    TESSARON_PUBLISHED(OptionalText, outputPlyPath, OutputPlyPath, {})
    TESSARON_PUBLISHED(OptionalPath, logFileURL, LogFileURL, {})
    TESSARON_PUBLISHED(OptionalScanResult, workspaceScanResult, WorkspaceScanResult, {})
    // Whether the COLMAP program was built with CUDA, as its help says; none
    // until checkCOLMAPHardware() has heard back, or when it could not tell.
    // Without CUDA, COLMAP extracts and matches on the CPU.
    TESSARON_PUBLISHED(OptionalFlag, colmapHasCUDA, ColmapHasCUDA, {})

    // ---- Operation flags ---------------------------------------------------
    TESSARON_PUBLISHED(bool, hasActiveOperation, HasActiveOperation, false)
    TESSARON_PUBLISHED(bool, isCancelling, IsCancelling, false)
    TESSARON_PUBLISHED(bool, isAnalyzingInput, IsAnalyzingInput, false)

    // ---- Computed values ---------------------------------------------------
    // An operation is active, or the run is in a working state.
    TESSARON_DERIVED(bool, isBusy)
    // The single gate of a new run.
    TESSARON_DERIVED(bool, canStart)
    // A video recognised as 360° by anything stronger than its shape.
    TESSARON_DERIVED(bool, isLikely360Video)
    // The existing model's sparse/0, else the workspace's colmap/sparse/0.
    TESSARON_DERIVED(OptionalPath, colmapSparseDir)
    // The workspace's colmap/snapshots, none when COLMAP is skipped.
    TESSARON_DERIVED(OptionalPath, sfmSnapshotsURL)
    // What the run is doing, in a few words; also the report's step.
    TESSARON_DERIVED(QString, currentStepTitle)
    // Seconds left in a partitioned training; none before a cell finished.
    TESSARON_DERIVED(OptionalSeconds, estimatedTimeRemaining)
    // The settings rows of the run report, the model size grouped as the
    // user's locale groups digits.
    TESSARON_DERIVED(SettingRows, settingsSummary)
    // stepStatus() of every step.
    TESSARON_DERIVED(StepStatuses, stepStatuses)

public:
    // The form's model sizes lie within what the engine grows.
    static constexpr qint64 maxTrainingCapMax = 8000000;
    static_assert(engines::TrainingLimits::capMax.contains(maxTrainingCapMax));
    // Every run setting at once, as a new run, its report and a resume take them.
    const RunSettings& runSettings() const noexcept { return settings_; }
    // Below this model size a run cannot start.
    static constexpr qint64 minimumStartCapMax = 50000;

    StepProgress stepStatus(WorkflowStep step) const;

    // ---- Engine, executor --------------------------------------------------

    // The machine's physical memory (or the configured stand-in), in bytes.
    uint64_t physicalMemoryBytes() const;

    // The driver; it exists from construction on.
    const std::shared_ptr<pipeline::PipelineManager>& pipelineManager();
    const std::shared_ptr<engines::ProcessMonitor>& processMonitor() const noexcept { return processMonitor_; }
    // Posts work to the main thread, where it runs only while this object
    // lives; what the driver's callbacks and the monitor use to report.
    core::Executor executor() const { return mainThread_.executor(); }

    // ---- Driver operations the views start ---------------------------------

    // Starts the reviewed partition plan: the driver takes the diagnostics
    // setting as it stands now, then the approval.
    void approvePlan();
    // The quit guard's last resort: cancels, then kills the engines' children.
    void forceKill();
    // Whether a child (COLMAP, trevik) still runs, even one that outlived
    // its operation.
    bool isProcessRunning() const;

    // ---- Run report --------------------------------------------------------

    // Writes the current state into the active report and saves it: the
    // step title of a working state, the outcome of completed or error.
    void updateRunReport();
    // Marks a still-running report cancelled (quit confirmed, application
    // ending); the report stays active.
    void cancelActiveRunReport();
    // Adds a warning of the driver about the result to the active report
    // and saves it.
    void addRunReportWarning(const std::string& warning);

    // ---- The user's operations ---------------------------------------------
    // Starting, resuming, re-merging, cancelling and resetting a run, and
    // choosing its input. All on the main thread; their panels go through
    // the dialog service.

    // Free bytes of the volume that holds a folder; none when unreadable.
    using FreeSpaceProbe = std::function<std::optional<uint64_t>(const std::filesystem::path& folder)>;
    // What an input analysis measures.
    struct InputAnalysis {
        OptionalDatasetProfile profile;
        OptionalDetection detection;  // videos only
        OptionalText photoWarning;    // photo folders only
    };
    // Measures an input on a worker thread (stride: keep one video frame in N).
    using InputAnalyzer =
        std::function<InputAnalysis(const std::filesystem::path& url, bool isVideo, int64_t stride)>;
    // The analysis of an existing COLMAP model's sparse/0, on a worker thread.
    using SceneAnalyzer = std::function<OptionalSceneAnalysis(const std::filesystem::path& sparseFolder)>;

    // No panel can be shown: no dialog service was installed.
    class NoDialogServiceError : public core::Error {
    public:
        NoDialogServiceError() : core::Error("No dialog service is installed to ask the user.") {}
    };

    // Below this many free bytes on the output volume a run does not start.
    static constexpr uint64_t minimumFreeBytes = 10737418240;

    // The driver's long calls as the operations make them, on the
    // operation's worker. Tests put recording ones in place (through
    // PipelineViewModelTestAccess); an empty member calls the pipeline
    // manager's own.
    struct DriverCalls {
        std::function<void(const pipeline::PipelineManager::RunParameters& parameters, std::stop_token stopToken)>
            runPipeline;
        std::function<void(const pipeline::PipelineManager::ResumeOptions& options, std::stop_token stopToken)>
            resumeInterruptedTraining;
    };

    void setDialogService(std::shared_ptr<DialogService> dialogs) { dialogs_ = std::move(dialogs); }
    static std::optional<uint64_t> volumeFreeBytes(const std::filesystem::path& folder);
    static InputAnalysis measureInput(const std::filesystem::path& url, bool isVideo, int64_t stride);

    // "Start Pipeline": asks for the output folder, checks its free space,
    // creates the workspace and runs the whole pipeline with a copy of every
    // setting on the operation's worker.
    void startNewRun();
    // The refusal of a volume with `freeBytes` free.
    static QString freeSpaceRefusal(uint64_t freeBytes);

    // Stores a new input and analyses it.
    void selectInput(const std::filesystem::path& url, bool isVideo);
    // The open panel for a photo folder or a video.
    void chooseInput();
    // A drop on the input form: its first item, a folder or a video file.
    // True when the drop was taken.
    bool handleDrop(const QMimeData& data);
    // Whether handleDrop would take `data`: its first item is a local folder
    // or video file, and this is no tour sample.
    bool canTakeDrop(const QMimeData& data) const;
    // (Re)measures the stored input on a worker; only the newest analysis
    // publishes.
    void analyzeInput();
    // The open panel for an existing COLMAP reconstruction, then its scene
    // analysis on a worker.
    void chooseCOLMAPFolder();

    // The open panel for an interrupted workspace, scanned at once.
    void selectResumeWorkspace();
    // Finishes the scanned workspace's interrupted training.
    void resumeTraining();
    // The open panel for a finished workspace whose cells merge again.
    void startRemerge();
    // The downscale of a re-merge: the setting when set, else 4 for images
    // above 4,000,000 pixels (or none to measure), else 2.
    static int remergeDownscale(int64_t setting, const std::filesystem::path& workspace);

    // Stops the active operation: its task first, then the manager. The
    // operation ends by itself; without one, the state goes back to idle.
    void cancelRun();
    // A fresh view for a new pipeline, input included; the user's settings
    // stay. A running operation is cancelled first and the reset happens
    // when it has ended.
    void resetRunState();

signals:
    // resetRunState() has made the view fresh: the window goes back to the
    // Input step and drops every figure of the earlier run or model.
    void runStateWasReset();
    // selectResumeWorkspace() has published a new scan: the window shows
    // its card.
    void resumeWorkspaceScanned();

public:

    // Asks the COLMAP program, once per model and in the background, what
    // it was built with; the answer lands in colmapHasCUDA.
    void checkCOLMAPHardware();
    // `program -h` read for its CUDA note; none when it cannot be told.
    static OptionalFlag probeCOLMAPCUDA(const std::string& program);
    // Where COLMAP's feature extraction runs: on the GPU with a CUDA build
    // when GPU SIFT is on, else on the CPU; none while colmapHasCUDA is
    // unknown. Changes with colmapHasCUDA and useGPUSIFT.
    OptionalFlag colmapExtractsOnGPU() const;

private:
    // Tests and the developer harness drive the parts below directly.
    friend struct PipelineViewModelTestAccess;

    // ---- Engine output ----
    // One line of a child or of the driver, from any thread: its progress
    // values are published, the line waits in logBuffer_ for the next flush.
    void ingestLogLine(pipeline::PipelineLogStep step, const std::string& line);
    // Appends every waiting line to its step log; from any thread (off the
    // main thread the logs change later, on it).
    void flushLogBuffer();
    // The body of ingestLogLine on the reporting thread: names `target` only
    // inside work handed to `post`.
    static void ingest(StepLogBuffer::Queue& queue, const core::Executor& post, PipelineViewModel* target,
                       pipeline::PipelineLogStep step, const std::string& line);
    // The log buffer's sink.
    void appendToStepLog(pipeline::PipelineLogStep step, const QString& batch);
    // Polls COLMAP's snapshots while the state is processingSfM and COLMAP
    // runs its incremental mapper; stops in every other state.
    void updateSfMSnapshotPolling(const pipeline::PipelineState& state);
    // Drops a partition progress that waits for its publication.
    void cancelPendingPartitionProgress();

    // ---- Operations ----
    // Runs `body` on a worker thread of its own, kept as the active task.
    // When it returns, `afterBody` (if any) and then the completion step run
    // on the main thread: the report is closed, the operation flags are
    // cleared, and a cancelled operation brings the state back to idle.
    // Does nothing while another task is active.
    void runTrackedOperation(OperationBody body, std::function<void()> afterBody = {});
    bool hasActiveTask() const noexcept { return activeTask_.joinable(); }

    // ---- Run report ----
    // Starts the report of a new operation ("New run", "Resume",
    // "Re-merge"): step "Starting", outcome running; saved at once.
    void beginRunReport(const std::string& kind, const std::string& input, const SettingRows& settings);
    // Saves the report; a failure is logged once per report and the
    // operation goes on.
    void saveRunReport();

    template <typename T, typename Signal>
    void publish(T& field, const T& value, Signal changed) {
        if (field == value) return;
        field = value;
        emit(this->*changed)();
        refreshDerived();
    }

    // The computed values as last signalled.
    struct DerivedValues {
        bool isBusy = false;
        bool canStart = false;
        bool isLikely360Video = false;
        OptionalPath colmapSparseDir;
        OptionalPath sfmSnapshotsURL;
        QString currentStepTitle;
        OptionalSeconds estimatedTimeRemaining;
        SettingRows settingsSummary;
        StepStatuses stepStatuses;
    };
    DerivedValues computeDerived() const;
    // Recomputes the computed values and signals those that changed.
    void refreshDerived();
    void completeOperation();

    // The partition progress the reporting threads hand over to the main
    // thread. Shared with the bound callbacks, so that a report arriving on
    // a worker never needs this object.
    struct LiveFeed {
        std::mutex lock;
        std::optional<partition::PartitionProgress> pendingProgress;
    };
    void bindPipelineCallbacks();
    void publishPendingPartitionProgress();
    void setCancelledRun(const OptionalCancelledRun& cancelled) {
        publish(cancelledRun_, cancelled, &Self::cancelledRunChanged);
    }
    void setFailedRun(const OptionalFailedRun& failed) { publish(failedRun_, failed, &Self::failedRunChanged); }
    // Follows the state: remembers the working state and, on an error,
    // publishes where the run failed.
    void trackFailure();
    // The working state the run was in last; none outside a run.
    std::optional<pipeline::PipelineState> lastWorkingState_;
    // What the operation that is ending after a cancel leaves to be shown.
    CancelledRun endedCancelledRun() const;
    void setRunReport(const OptionalRunReport& report) { publish(runReport_, report, &Self::runReportChanged); }
    void setRunReportActive(bool active) { publish(runReportActive_, active, &Self::runReportActiveChanged); }

    Configuration configuration_;
    RunSettings settings_;
    DerivedValues derived_;
    // The destructor invalidates it before anything else goes.
    MainThreadExecutor mainThread_;
    std::shared_ptr<engines::ProcessMonitor> processMonitor_;
    std::shared_ptr<pipeline::PipelineManager> pipelineManager_;
    // ---- The user's operations ----
    // The parts of an operation's start and end that belong to the engine
    // feeds (log buffer and flush, telemetry, snapshot poll).
    void connectOperationFeeds(bool withTelemetry);
    void endOperationFeeds();
    void stopOperationTimers();
    void dropPendingPartitionProgress();
    // A line of the view model's own in a step log, as if the engine wrote it.
    void logOperationLine(pipeline::PipelineLogStep step, const std::string& line);
    // The five step logs empty; the previous run's plan, counters and live
    // views gone; the cell counters back at their start.
    void clearStepLogs();
    void clearLiveProgress();
    void clearCellProgress();
    // The previous operation's output and training figures, which a new
    // operation must not show as its own.
    void clearRunResult();
    // Runs on the main thread after every operation's completion step.
    void afterOperationEnded();
    DialogService& dialogs();
    // Runs `work` on a worker of its own and hands its result to `publish`
    // on the main thread, while this object lives.
    template <typename Result>
    void runInBackground(std::function<Result()> work, std::function<void(Result)> publish);
    void startResume(const pipeline::WorkspaceScanResult& scan, const std::filesystem::path& imagesFolder);

    std::shared_ptr<DialogService> dialogs_;
    DriverCalls driverCalls_;
    FreeSpaceProbe freeSpace_ = volumeFreeBytes;
    InputAnalyzer inputAnalyzer_ = measureInput;
    SceneAnalyzer sceneAnalyzer_;
    uint64_t analysisGeneration_ = 0;
    uint64_t sceneAnalysisGeneration_ = 0;
    bool resetPending_ = false;
    bool colmapHardwareAsked_ = false;
    uint64_t nextBackgroundTask_ = 0;
    std::map<uint64_t, std::jthread> backgroundTasks_;

    std::shared_ptr<LiveFeed> feed_ = std::make_shared<LiveFeed>();
    // The engine feeds of an operation; they live on the main thread.
    StepLogBuffer logBuffer_;
    HostTelemetrySampler telemetry_;
    SfMSnapshotPoller snapshotPoller_;
    RunReportKeeper reportKeeper_;
    QTimer progressDebounce_;  // single shot, restarted by each partition progress
    // The running operation's worker; joinable while an operation is active.
    std::jthread activeTask_;
    // Set by the worker as its last act, so that the destructor can wait for
    // it with a limit.
    struct TaskEnd {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
    };
    std::shared_ptr<TaskEnd> activeTaskEnd_;
    // The workspace of the latest operation; a reset keeps it, so that the
    // workspace panels open beside it.
    OptionalPath lastWorkspaceURL_;
    // After a resume: the workspace scanned again, so that its card shows
    // what is left now.
    void rescanWorkspace(const std::filesystem::path& workspace);
};

// The step log the window shows in a state; none for idle, which has none.
std::optional<pipeline::PipelineLogStep> logStepOf(pipeline::PipelineState::Kind state);

// A count as the user's locale writes it, digits grouped ("1,000,000").
std::string localeGroupedCount(int64_t count);

}  // namespace tessaron::viewmodel
