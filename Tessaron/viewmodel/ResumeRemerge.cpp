#include "viewmodel/PipelineViewModel.hpp"

#include <QLocale>

#include <algorithm>

#include "engines/TrainingLimits.hpp"

namespace tessaron::viewmodel {

namespace {

namespace fs = std::filesystem;

// What a resume trains with when the workspace recorded nothing usable: the
// settings' defaults, and a downscale of 4.
const int resumeIterations = static_cast<int>(RunSettings{}.trainingIterations);
constexpr int64_t defaultDownscale = 4;
const int64_t defaultCapMax = RunSettings{}.trainingCapMax;
// A re-merge's automatic downscale halves less from this many pixels down.
constexpr int64_t largeImagePixels = 4000000;

// The open panel for a Tessaron_workspace folder, with `message`, opened
// in the folder that holds `lastWorkspace` when there is one.
std::optional<fs::path> chooseWorkspace(DialogService& dialogs, const QString& message,
                                        const std::optional<fs::path>& lastWorkspace) {
    DialogService::OpenRequest request;
    request.title = QStringLiteral("Select Tessaron_workspace folder");
    request.message = message;
    if (lastWorkspace && lastWorkspace->has_parent_path()) request.startFolder = lastWorkspace->parent_path();
    return dialogs.open(request);
}

// Two paths name the same folder once links are resolved.
bool sameFolder(const fs::path& first, const fs::path& second) {
    std::error_code error;
    const fs::path a = fs::weakly_canonical(first, error);
    if (error) return false;
    const fs::path b = fs::weakly_canonical(second, error);
    if (error) return false;
    return a.lexically_normal() == b.lexically_normal();
}

bool isListable(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator listing(folder, error);
    return !error;
}

}  // namespace

int PipelineViewModel::remergeDownscale(int64_t setting, const fs::path& workspace) {
    if (setting >= 1) return static_cast<int>(setting);
    const fs::path images = workspace / "images";
    std::error_code error;
    if (!fs::exists(images, error)) return static_cast<int>(defaultDownscale);
    const std::optional<engines::DatasetProfile> profile = engines::DatasetProfile::scan(images);
    if (!profile) return static_cast<int>(defaultDownscale);
    return profile->nativeWidth * profile->nativeHeight > largeImagePixels ? 4 : 2;
}

void PipelineViewModel::selectResumeWorkspace() {
    if (isTourSample_ || activeTask_.joinable()) return;
    const std::optional<fs::path> folder =
        chooseWorkspace(dialogs(), QStringLiteral("Pick the Tessaron_workspace folder (its name may include a date) "
                                                  "of an interrupted training run"),
                        lastWorkspaceURL_);
    if (!folder) return;
    try {
        setWorkspaceScanResult(pipeline::WorkspaceScanner::scan(*folder));
        emit resumeWorkspaceScanned();
    } catch (const std::exception& error) {
        setWorkspaceScanResult({});
        setCurrentState(pipeline::PipelineState::error(std::string("Workspace scan failed: ") + error.what()));
        updateRunReport();
    }
}

void PipelineViewModel::resumeTraining() {
    if (isTourSample_ || activeTask_.joinable() || hasActiveOperation_ || !workspaceScanResult_) return;
    // The stored scan may be stale.
    pipeline::WorkspaceScanResult scan;
    try {
        scan = pipeline::WorkspaceScanner::scan(workspaceScanResult_->workspaceURL);
    } catch (const std::exception& error) {
        setCurrentState(pipeline::PipelineState::error(std::string("Workspace scan failed: ") + error.what()));
        updateRunReport();
        return;
    }
    setWorkspaceScanResult(scan);
    if (scan.incompleteCells().empty() && scan.missingPlannedCells.empty()) return;

    fs::path images = scan.imageDir;
    if (!isListable(images)) {
        // The photos may have moved: the user may show where they are now.
        const QString recorded = QString::fromStdString(images.string());
        DialogService::OpenRequest request;
        request.title = QStringLiteral("Locate the photos for this run");
        request.message = QStringLiteral("Tessaron needs access to %1 to continue.").arg(recorded);
        request.prompt = QStringLiteral("Allow Access");
        request.startFolder = images.parent_path();
        const std::optional<fs::path> chosen = dialogs().open(request);
        if (!chosen || !isListable(*chosen)) {
            setCurrentState(pipeline::PipelineState::error("Resume needs access to the original photos folder: " +
                                                           images.string()));
            updateRunReport();
            return;
        }
        if (!sameFolder(*chosen, images)) images = *chosen;
    }
    // The panel was modal: another operation may have begun meanwhile.
    if (activeTask_.joinable() || hasActiveOperation_) return;
    startResume(scan, images);
}

void PipelineViewModel::startResume(const pipeline::WorkspaceScanResult& scan, const fs::path& imagesFolder) {
    // A damaged log can name anything (the scan refuses such a
    // run_config.json): values outside the training ranges fall back to the
    // defaults, and the log says so.
    std::vector<std::string> warnings;
    auto recorded = [&warnings](const std::string& setting, std::optional<int64_t> value, int64_t fallback,
                                const engines::TrainingLimits::Range& range) {
        if (!value) return fallback;
        if (range.contains(*value)) return *value;
        warnings.push_back("\u26a0 The workspace records " + setting + " of " + std::to_string(*value) + ", outside " +
                           std::to_string(range.minimum) + "\u2026" + std::to_string(range.maximum) +
                           "; resuming with " + std::to_string(fallback) + ".");
        return fallback;
    };
    const int64_t downscale =
        recorded("a downscale", scan.downscaleFromLog, defaultDownscale, engines::TrainingLimits::downscale);
    const int64_t capMax = recorded("a model size", scan.capMaxFromLog, defaultCapMax, engines::TrainingLimits::capMax);
    const bool eval = scan.evalFromLog.value_or(true);

    clearStepLogs();
    setLogFileURL({});
    clearCellProgress();
    clearRunResult();
    connectOperationFeeds(true);
    for (const std::string& warning : warnings) logOperationLine(pipeline::PipelineLogStep::training, warning);
    setCurrentWorkspaceURL(scan.workspaceURL);

    const SettingRows rows = {{"Model size", localeGroupedCount(capMax)},
                              {"Downscale", std::to_string(downscale) + "\u00d7"},
                              {"Eval", eval ? "on" : "off"},
                              {"Memory limit", pipeline::RunReport::memoryLimitText(settings_.ramLimitGB)}};
    dropPendingPartitionProgress();
    setHasActiveOperation(true);
    beginRunReport("Resume", "Existing workspace", rows);
    pipeline::PipelineManager::ResumeOptions options;
    options.scan = scan;
    options.scan.imageDir = imagesFolder;
    options.iterations = resumeIterations;
    options.downscale = static_cast<int>(downscale);
    options.capMax = capMax;
    options.eval = eval;
    options.diagnostics = settings_.diagnosticsEnabled;
    runTrackedOperation(
        [manager = pipelineManager_, resume = driverCalls_.resumeInterruptedTraining,
         options = std::move(options)](std::stop_token stopToken) {
            if (resume)
                resume(options, stopToken);
            else
                manager->resumeInterruptedTraining(options, stopToken);
        },
        [this, workspace = scan.workspaceURL] {
            endOperationFeeds();
            rescanWorkspace(workspace);
        });
}

void PipelineViewModel::rescanWorkspace(const fs::path& workspace) {
    // The card shows the workspace as the operation left it; one that can
    // no longer be read shows nothing rather than what it was.
    try {
        setWorkspaceScanResult(pipeline::WorkspaceScanner::scan(workspace));
    } catch (const std::exception& error) {
        setWorkspaceScanResult({});
        logOperationLine(pipeline::PipelineLogStep::training,
                         std::string("\u26a0 The workspace could not be scanned again: ") + error.what());
    }
}

void PipelineViewModel::startRemerge() {
    if (isTourSample_ || activeTask_.joinable()) return;
    const std::optional<fs::path> workspace =
        chooseWorkspace(dialogs(), QStringLiteral("Pick a Tessaron_workspace folder (its name may include a date) "
                                                  "containing partitions/cell_*/output.ply"),
                        lastWorkspaceURL_);
    if (!workspace) return;
    // Another operation may have begun while the panel was open.
    if (activeTask_.joinable() || hasActiveOperation_) return;

    setCurrentWorkspaceURL(*workspace);
    const int downscale = remergeDownscale(settings_.trevikDownscaleFactor, *workspace);
    const int64_t capMax = settings_.trainingCapMax;
    clearStepLogs();
    setLogFileURL({});
    setOutputPlyPath({});
    connectOperationFeeds(false);
    dropPendingPartitionProgress();
    setHasActiveOperation(true);
    beginRunReport("Re-merge", "Existing workspace", {});
    runTrackedOperation(
        [manager = pipelineManager_, workspace = *workspace, downscale, capMax](std::stop_token stopToken) {
            manager->remergeExistingCells({.workspaceURL = workspace, .downscale = downscale, .capMax = capMax},
                                          stopToken);
        },
        [this] { endOperationFeeds(); });
}

}  // namespace tessaron::viewmodel
