#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "core/Executor.hpp"
#include "engines/COLMAPRunner.hpp"
#include "engines/LogFileWriter.hpp"
#include "engines/ProcessMonitor.hpp"
#include "engines/TrainingLimits.hpp"
#include "engines/TrevikRunner.hpp"
#include "input/CropLayout.hpp"
#include "input/PersonMaskMode.hpp"
#include "input/VideoFrameExtractor.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/PartitionProgress.hpp"
#include "partition/SeamlessMerger.hpp"
#include "pipeline/ApprovalGate.hpp"
#include "pipeline/CellQueue.hpp"
#include "pipeline/CellTrainingRun.hpp"
#include "pipeline/PendingCell.hpp"
#include "pipeline/PipelineState.hpp"
#include "pipeline/RunLog.hpp"
#include "pipeline/WorkspaceScanner.hpp"

namespace tessaron::pipeline {

// The one object that drives reconstructions. It owns one COLMAPRunner and
// one TrevikRunner for its whole life, registers their children with the
// process monitor (held weakly) under "colmap" and "trevik", writes the run
// log, and reports everything through the owner's Callbacks.
//
// Ownership: always held in a std::shared_ptr (create()). Every closure it
// hands to a runner, extractor or planner holds it weakly, and an operation
// keeps the manager alive while it runs, so a child's line can never be the
// last reference.
//
// Threads: an operation blocks the thread that calls it (the run's worker).
// Every callback is handed to the executor given at creation: the window
// passes one that posts to its event loop, tests and the harness the inline
// one, which calls on the reporting thread (the worker, or a runner's
// delivery queue for child lines and statistics). cancel(), forceKill(),
// resolvePartitionApproval(), isProcessRunning() and the queries may be
// called from any thread. `callbacksLock_` guards `callbacks_` and
// `activeOperations_`; the approval gate and the run log guard their own
// state. No code holds two locks at once, nor one while it calls out.
class PipelineManager : public std::enable_shared_from_this<PipelineManager> {
    struct ConstructionKey {};

public:
    using ApprovalOutcome = ApprovalGate::Outcome;

    // What tests and the developer harness may put in place of the defaults.
    struct Configuration {
        std::optional<std::string> colmapPath;  // none: the runner's own lookup
        std::optional<std::string> trevikPath;  // none: the runner's own lookup
        // The application support folder whose "Logs" gets current_run.md;
        // none: applicationSupportFolder().
        std::optional<std::filesystem::path> supportFolder;
    };

    // Everything a run is given. The defaults are the application's settings
    // defaults, except the memory limit, which the caller always chooses.
    struct RunParameters {
        std::filesystem::path inputURL;  // photo folder or video file
        std::filesystem::path workspaceURL;
        bool isVideo = false;
        bool skipSfM = false;
        std::optional<std::filesystem::path> colmapDataURL;  // folder holding sparse/0
        int64_t frameExtractionRate = 10;                    // keep one video frame in N
        int iterations = 30000;
        bool sharpnessEnabled = true;
        double sharpnessThreshold = 50.0;
        bool colmapSingleCamera = true;
        bool trevikEval = true;
        int trevikDownscaleFactor = 0;  // 0: automatic
        bool useVastGaussian = true;
        int64_t capMax = 1000000;
        bool useGlobalMapper = false;
        bool useGPUSIFT = true;  // COLMAP without CUDA always extracts on the CPU
        bool useAggressiveSIFT = false;
        bool overrideVastGaussianParams = false;
        double ramLimitGB = 0;
        bool is360 = false;
        std::optional<input::CropLayout> cropLayout;
        input::PersonMaskMode personMaskMode = input::PersonMaskMode::allPeople;
        // The engine's benchmark and profiling output; the approval of a
        // partition plan may choose again for its cells.
        bool diagnostics = false;

        // Throws OptionsError naming the first training setting outside its
        // range (engines::TrainingLimits), so that a run is refused before
        // COLMAP, not after it.
        void check() const;
    };

    // What a resume of an interrupted partitioned run is given.
    struct ResumeOptions {
        WorkspaceScanResult scan;
        // Used only for a new plan of a workspace that records none.
        int iterations = 30000;
        int downscale = 1;
        // Only logged: each cell trains with its own.
        int64_t capMax = 1000000;
        bool eval = true;
        bool diagnostics = false;

        // Throws OptionsError naming the first field out of range.
        void check() const;
    };

    // What a re-merge of a finished partitioned workspace is given.
    struct RemergeOptions {
        std::filesystem::path workspaceURL = {};
        // Used only for a new plan when the saved one is missing.
        int downscale = 2;
        // Only logged.
        int64_t capMax = 1000000;

        // Throws OptionsError naming the first field out of range.
        void check() const;
    };

    class OptionsError : public core::Error {
    public:
        using core::Error::Error;
    };

    // What a stage throws when the operation cannot go on: the one guard of
    // the operation logs `line` under `step` and reports what() as the error
    // state. A cancel is never reported this way.
    class StageError : public core::Error {
    public:
        StageError(PipelineLogStep failedStep, std::string logLine, const std::string& message)
            : core::Error(message), step(failedStep), line(std::move(logLine)) {}
        // Logged as "⚠ " + message.
        static StageError warning(PipelineLogStep step, const std::string& message) {
            return StageError(step, "⚠ " + message, message);
        }

        PipelineLogStep step;
        std::string line;
    };

    using LogHandler = std::function<void(PipelineLogStep step, const std::string& text)>;

    // Everything the manager reports; an empty member is skipped. Each call
    // goes through the executor given at creation, with its own copy of the
    // values (a plan or a preview is copied once per report).
    struct Callbacks {
        // Each message of a stage, after the run log's files got it.
        LogHandler onLog;
        std::function<void(const PipelineState&)> onStateChange;
        std::function<void(const partition::PartitionProgress&)> onPartitionProgress;
        std::function<void(int64_t step, int64_t splats, float msPerStep)> onTrainingStats;
        // The computed plan, before the approval wait.
        std::function<void(const partition::PartitionPlan&)> onPartitionPlanReady;
        std::function<void(int64_t cellIndex, int64_t totalCells, int64_t targetIterations)> onCellStarted;
        std::function<void(double seconds)> onCellFinished;
        std::function<void(const std::filesystem::path& logFile)> onLogFileReady;
        std::function<void(const std::string& path)> onOutputReady;
        std::function<void(int64_t prepared, int64_t total)> onMaterializationProgress;
        std::function<void(int64_t frameIndex, int64_t totalEstimate)> onExtractionProgress;
        std::function<void(const input::VideoFrameExtractor::Conversion360Preview&)> onConversionPreview;
        // A warning about the result that the run report keeps; the run goes
        // on. The text of its "⚠" line, without the sign.
        std::function<void(const std::string& warning)> onWarning;
    };

    // setCallbacks during an operation.
    class BusyError : public core::Error {
    public:
        BusyError() : core::Error("The callbacks cannot change while an operation runs.") {}
    };

    // `callbackExecutor` runs every callback (core::inlineExecutor(): on the
    // reporting thread).
    static std::shared_ptr<PipelineManager> create(std::weak_ptr<engines::ProcessMonitor> processMonitor,
                                                   Configuration configuration = {},
                                                   core::Executor callbackExecutor = core::inlineExecutor());
    PipelineManager(ConstructionKey, std::weak_ptr<engines::ProcessMonitor> processMonitor,
                    Configuration configuration, core::Executor callbackExecutor);
    ~PipelineManager();
    PipelineManager(const PipelineManager&) = delete;
    PipelineManager& operator=(const PipelineManager&) = delete;

    // Set once before the operations; throws BusyError while one runs. The
    // manager never wraps or replaces them.
    void setCallbacks(Callbacks callbacks);

    // ---- Operations --------------------------------------------------------
    // Each blocks its thread and never throws: every outcome is reported
    // through onStateChange and onLog. `stopToken` is the operation's one
    // cancellation: a stop requested on it, before or during the operation,
    // acts as cancel().

    // One whole run: workspace, input route, COLMAP, dataset, memory fit and
    // training.
    void runPipeline(const RunParameters& parameters, std::stop_token stopToken = {});

    // Merges the trained cells of a finished partitioned workspace again into
    // its output.ply, without training.
    void remergeExistingCells(const RemergeOptions& options, std::stop_token stopToken = {});

    // Finishes an interrupted partitioned run from a scan of its workspace:
    // prepares the cells it never prepared, trains the unfinished ones and
    // merges every finished cell into its output.ply. Without a usable saved
    // plan it refuses when cells are finished (they belong to that plan),
    // else plans again with the settings run_config.json records.
    void resumeInterruptedTraining(const ResumeOptions& options, std::stop_token stopToken = {});

    // ---- Cancellation and approval -----------------------------------------

    // Ends a pending approval wait; harmless when nothing waits.
    // `diagnostics`, given with an approval, is the engine's diagnostics
    // switch for the plan's cells; none keeps the run's own.
    void resolvePartitionApproval(ApprovalOutcome outcome, std::optional<bool> diagnostics = std::nullopt);
    // Latches both runners, terminates the running child and resolves a
    // pending approval as cancelled. Changes no state and logs nothing; the
    // operation logs "Pipeline cancelled." at its next boundary.
    void cancel();
    // cancel(), then SIGKILL for a child that still runs.
    void forceKill();
    bool isProcessRunning();

    // ---- Queries -------------------------------------------------------------

    // The workspace copy of the latest opened run log.
    std::optional<std::filesystem::path> logFileURL() const;
    // "Logs" in the support folder: current_run.md, previous_run.md and the
    // run report live there. None when there is no support folder.
    std::optional<std::filesystem::path> logFolder() const;

private:
    // What dataset preparation hands to either training road.
    struct TrainingContext {
        RunParameters parameters;
        std::filesystem::path workspace;
        std::filesystem::path imageDir;
        std::filesystem::path colmapImageDir;  // the folder COLMAP read: links to the checked photos, or imageDir
        std::filesystem::path colmapDir;
        std::filesystem::path modelDir;    // colmap/sparse/0
        std::filesystem::path outputFile;  // output.ply
        int downscale = 1;
        std::optional<input::CropLayout> layout;
        std::optional<std::string> maskDir;
    };

    friend struct PipelineManagerTestAccess;  // tests reach the stages' pieces

    // Writes the message to the open run-log files, then hands it to onLog.
    void log(PipelineLogStep step, const std::string& text);
    void reportState(const PipelineState& state) const;
    // Hands `values` to the callback `member` through the executor.
    template <auto member, typename... Values>
    void report(Values... values) const;
    std::shared_ptr<const Callbacks> callbacks() const;
    void unwatch(const char* name) const;
    bool isCancelRequested() const;
    // The probe at every stage boundary: when a cancel was asked for, logs
    // "Pipeline cancelled." under `step`, closes the run log and returns true.
    bool checkCancelled(PipelineLogStep step);

    // Closures handed to sub-components: each holds this manager weakly.
    std::function<void(const std::string&)> logForwarder(PipelineLogStep step);
    std::function<void(int64_t, int64_t)> extractionProgressForwarder();
    std::function<void(int64_t, int64_t)> materializationProgressForwarder();
    std::function<void(int64_t, int64_t, float)> trainingStatsForwarder();
    // True when the manager is gone or a cancel was asked for.
    std::function<bool()> cancelProbe();

    // Runs the body of an operation while holding this manager: clears the
    // cancellation of an earlier one, makes a stop on `stopToken` act as
    // cancel() while it runs, and is the one place where a failure becomes
    // the error state: a StageError with its own line, any other error
    // logged under `step` (unless a cancel broke it off). The log is closed
    // at the end.
    void runGuarded(PipelineLogStep step, std::stop_token stopToken, const std::function<void()>& body);

    // ---- Stages of a run (one per file of the run's road) ----
    void runStages(const RunParameters& parameters);
    std::optional<std::filesystem::path> extractVideo(const RunParameters& parameters,
                                                      const std::optional<input::CropLayout>& layout, bool masking);
    bool runCOLMAPStage(const RunParameters& parameters, const std::filesystem::path& imageDir,
                        const std::filesystem::path& colmapDir, const std::optional<input::CropLayout>& layout,
                        bool masking);
    std::filesystem::path importModel(const RunParameters& parameters);
    void prepareDataset(TrainingContext context);
    void checkMemoryFits(const TrainingContext& context);
    void trainSingleModel(const TrainingContext& context);
    void resumeSteps(const ResumeOptions& options);
    // A resume's new plan of the scene, made with the settings the workspace
    // recorded (else the resume's arguments).
    partition::PartitionPlan replan(const WorkspaceScanResult& scanResult, int iterations, int downscale);
    void remergeSteps(const RemergeOptions& options);
    // The partitioned road: plan, approval, cells, merge.
    void trainPartitioned(const TrainingContext& context);
    // The cell loop of the partitioned road and of a resume over this
    // manager's engine, log and cancellation.
    CellQueue cellQueue();
    CellTrainingOutcome trainCell(CellTrainingRun& run, const PendingCell& cell, size_t number);
    // The held-out PSNR the engine's lines give for `subject` ("Cell
    // cell_3", "Model") and the "⚠" lines of a poor or worsened result, which
    // go to onWarning too. Logged under the training step.
    void reportTrainingQuality(const std::string& subject, const std::vector<std::string>& engineLines);
    // The error of a merged model that lacks regions: "The model is
    // incomplete: ...", each region named once.
    static StageError incompleteModel(const std::vector<std::string>& failed, const std::filesystem::path& outputURL);
    // Merges the cells into `output` with the plan's ownership rule (pure
    // Voronoi when it has cluster centroids); the failure's description, or
    // none. The merge's lines go to the export step.
    std::optional<std::string> mergeCells(const std::vector<partition::SeamlessMerger::CellInput>& cells,
                                          const partition::PartitionPlan& plan, const std::filesystem::path& output);
    // The plan saved in `partitionsFolder`, none when it cannot be read or
    // decoded; `problem`, when given, then gets the reason for a file that is
    // there. Cells whose ids cannot name a cell folder are reported under
    // `step` and left out.
    std::optional<partition::PartitionPlan> loadSavedPlan(const std::filesystem::path& partitionsFolder,
                                                          PipelineLogStep step, std::string* problem = nullptr);
    // Removes the temporaries that killed engines and writers left in
    // `folder`; each one that cannot be removed is only logged under
    // `step`, as housekeeping never stops an operation.
    void removeStaleTemporaries(const std::filesystem::path& folder, PipelineLogStep step);
    // The same in the workspace folder (a killed merge's output.ply) and in
    // its partitions folder when that is the workspace's own.
    void removeStaleWorkspaceTemporaries(const std::filesystem::path& workspace, PipelineLogStep step);
    // The same in a cell folder confined to the workspace and in its model
    // folder (a killed cut of the cell's model).
    void removeStaleCellTemporaries(const std::filesystem::path& cellFolder, PipelineLogStep step);
    // The merge inputs of the plan's trainable cells that have an output.ply
    // and a usable model under `partitionsFolder`; the others are appended
    // to `missing` (one without a transform with an export line).
    std::vector<partition::SeamlessMerger::CellInput> existingCellInputs(const partition::PartitionPlan& plan,
                                                                         const std::filesystem::path& partitionsFolder,
                                                                         std::vector<std::string>& missing);

    engines::COLMAPRunner colmapRunner_;
    engines::TrevikRunner trevikRunner_;
    std::weak_ptr<engines::ProcessMonitor> processMonitor_;
    core::Executor callbackExecutor_;

    mutable std::mutex callbacksLock_;
    std::shared_ptr<const Callbacks> callbacks_;
    int activeOperations_ = 0;

    ApprovalGate approvalGate_;
    // Last: its handlers report through the members above.
    RunLog runLog_;
};

template <auto member, typename... Values>
void PipelineManager::report(Values... values) const {
    auto current = callbacks();
    if (!((*current).*member)) return;
    // The work item owns its copies: a posting executor runs it after the
    // reporting code has moved on.
    callbackExecutor_([current, ... values = std::move(values)] { ((*current).*member)(values...); });
}

}  // namespace tessaron::pipeline
