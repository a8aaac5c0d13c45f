#include "viewmodel/PipelineViewModel.hpp"

#include <QLocale>
#include <QStorageInfo>

#include <cmath>

#include "engines/WorkspaceFiles.hpp"

namespace tessaron::viewmodel {

namespace {

using Kind = pipeline::PipelineState::Kind;

// A byte count in units of 1024, cut (not rounded) to one decimal, so that
// a figure below a limit never reads as the limit itself.
QString binaryByteCount(uint64_t bytes) {
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
    if (bytes < 1024) return QStringLiteral("%1 bytes").arg(bytes);
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return QLocale().toString(std::floor(value * 10) / 10, 'f', 1) + ' ' + QLatin1String(units[unit]);
}

}  // namespace

std::optional<uint64_t> PipelineViewModel::volumeFreeBytes(const std::filesystem::path& folder) {
    const QStorageInfo storage(QString::fromStdString(folder.string()));
    if (!storage.isValid() || !storage.isReady() || storage.bytesAvailable() < 0) return std::nullopt;
    return static_cast<uint64_t>(storage.bytesAvailable());
}

QString PipelineViewModel::freeSpaceRefusal(uint64_t freeBytes) {
    return QStringLiteral("Only %1 free on this disk. Tessaron needs at least 10 GB \u2014 choose another folder or free "
                          "up space.")
        .arg(binaryByteCount(freeBytes));
}

DialogService& PipelineViewModel::dialogs() {
    if (!dialogs_) throw NoDialogServiceError();
    return *dialogs_;
}

void PipelineViewModel::startNewRun() {
    if (isTourSample_ || !canStart() || !selectedInputURL_) return;
    // Refused now rather than at training, after COLMAP has run.
    if (const std::optional<std::string> problem = settings_.rangeProblem()) {
        setCurrentState(pipeline::PipelineState::error(*problem));
        updateRunReport();
        return;
    }
    const std::filesystem::path input = *selectedInputURL_;

    DialogService::OpenRequest request;
    request.title = QStringLiteral("Select Output Workspace Folder");
    request.message = QStringLiteral("Choose a folder for this run. Tessaron creates a new Tessaron_workspace folder "
                                     "inside it.");
    request.canCreateFolders = true;
    const std::optional<std::filesystem::path> output = dialogs().open(request);
    if (!output) return;
    // Another operation may have begun while the panel was open.
    if (activeTask_.joinable() || hasActiveOperation_) return;

    if (const std::optional<uint64_t> free = freeSpace_(*output); free && *free < minimumFreeBytes) {
        setCurrentState(pipeline::PipelineState::error(freeSpaceRefusal(*free).toStdString()));
        updateRunReport();
        return;
    }
    std::filesystem::path workspace;
    try {
        workspace = engines::WorkspaceFiles::createWorkspaceFolder(*output);
    } catch (const std::exception& error) {
        setCurrentState(
            pipeline::PipelineState::error(std::string("Could not create the workspace folder: ") + error.what()));
        updateRunReport();
        return;
    }

    // The previous run's live values go, and so do its result and training
    // figures: the new run must not show them as its own.
    setCurrentWorkspaceURL(workspace);
    clearStepLogs();
    clearLiveProgress();
    setLogFileURL({});
    setEngineRamString({});
    clearCellProgress();
    clearRunResult();

    connectOperationFeeds(true);

    // Copies: a setting changed from now on does not reach the running pipeline.
    const pipeline::PipelineManager::RunParameters parameters =
        settings_.runParameters(input, workspace, isInputVideo_);
    setSfmViewsPerFrame(settings_.viewsPerFrame(isInputVideo_));

    const std::string inputLabel = isInputVideo_ ? "Video" : "Photo folder";
    const SettingRows rows = settingsSummary();
    dropPendingPartitionProgress();
    setHasActiveOperation(true);
    beginRunReport("New run", inputLabel, rows);
    runTrackedOperation(
        [manager = pipelineManager_, run = driverCalls_.runPipeline, parameters](std::stop_token stopToken) {
            if (run)
                run(parameters, stopToken);
            else
                manager->runPipeline(parameters, stopToken);
        },
        [this] { endOperationFeeds(); });
}

}  // namespace tessaron::viewmodel
