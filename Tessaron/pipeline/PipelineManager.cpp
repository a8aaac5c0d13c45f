#include "pipeline/PipelineManager.hpp"

#include <map>
#include <system_error>

#include "core/NumberText.hpp"
#include "core/FileError.hpp"
#include "core/TextDecoding.hpp"
#include "pipeline/ApplicationSupport.hpp"
#include "pipeline/PathUtilities.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

std::shared_ptr<PipelineManager> PipelineManager::create(std::weak_ptr<engines::ProcessMonitor> processMonitor,
                                                         Configuration configuration) {
    return std::make_shared<PipelineManager>(ConstructionKey{}, std::move(processMonitor), std::move(configuration));
}

PipelineManager::PipelineManager(ConstructionKey, std::weak_ptr<engines::ProcessMonitor> processMonitor,
                                 Configuration configuration)
    : colmapRunner_(std::move(configuration.colmapPath)),
      trevikRunner_(std::move(configuration.trevikPath)),
      processMonitor_(std::move(processMonitor)),
      supportFolder_(configuration.supportFolder ? configuration.supportFolder : applicationSupportFolder()) {
    // The hooks hold the monitor, not the manager: they run on the run's
    // thread right after each launch.
    auto watchHook = [monitor = processMonitor_](const char* name) {
        return [monitor, name](int32_t pid) {
            if (auto live = monitor.lock()) live->watch(name, pid);
        };
    };
    colmapRunner_.onPidLaunched = watchHook("colmap");
    trevikRunner_.onPidLaunched = watchHook("trevik");
}

PipelineManager::~PipelineManager() {
    // A run keeps the manager alive, so nothing runs here any more; the log
    // writers only need their queued lines written.
    closeLog();
}

// MARK: - Reporting

void PipelineManager::log(PipelineLogStep step, const std::string& text) const {
    if (onLog) onLog(step, text);
}

void PipelineManager::reportState(const PipelineState& state) const {
    if (onStateChange) onStateChange(state);
}

void PipelineManager::stopWithMessage(PipelineLogStep step, const std::string& message) {
    log(step, "⚠ " + message);
    reportState(PipelineState::error(message));
    closeLog();
}

void PipelineManager::unwatch(const char* name) const {
    if (auto monitor = processMonitor_.lock()) monitor->unwatch(name);
}

std::function<void(const std::string&)> PipelineManager::logForwarder(PipelineLogStep step) {
    return [weakSelf = weak_from_this(), step](const std::string& line) {
        if (auto self = weakSelf.lock()) self->log(step, line);
    };
}

std::function<void(int64_t, int64_t)> PipelineManager::extractionProgressForwarder() {
    return [weakSelf = weak_from_this()](int64_t done, int64_t total) {
        if (auto self = weakSelf.lock())
            if (self->onExtractionProgress) self->onExtractionProgress(done, total);
    };
}

// MARK: - Cancellation and approval

bool PipelineManager::isCancelRequested() const {
    std::lock_guard lock(approvalLock_);
    return cancelRequested_;
}

bool PipelineManager::checkCancelled(PipelineLogStep step) {
    if (!isCancelRequested()) return false;
    log(step, "Pipeline cancelled.");
    closeLog();
    return true;
}

PipelineManager::ApprovalOutcome PipelineManager::awaitPartitionApproval() {
    auto waiter = std::make_shared<ApprovalWaiter>();
    std::unique_lock lock(approvalLock_);
    if (cancelRequested_) return ApprovalOutcome::cancelled;
    // Only one run waits at a time; a waiter left from before would block
    // forever, so it ends as cancelled.
    if (auto replaced = std::exchange(approvalWaiter_, waiter)) {
        replaced->outcome = ApprovalOutcome::cancelled;
        approvalResolved_.notify_all();
    }
    approvalResolved_.wait(lock, [&] { return waiter->outcome.has_value(); });
    return *waiter->outcome;
}

void PipelineManager::resolvePartitionApproval(ApprovalOutcome outcome) {
    std::shared_ptr<ApprovalWaiter> taken;
    {
        std::lock_guard lock(approvalLock_);
        taken = std::exchange(approvalWaiter_, nullptr);
        // Taken out under the lock, so a waiter is resolved exactly once.
        if (taken) taken->outcome = outcome;
    }
    if (taken) approvalResolved_.notify_all();
}

void PipelineManager::cancel() {
    {
        std::lock_guard lock(approvalLock_);
        cancelRequested_ = true;
    }
    colmapRunner_.runner().cancel();
    trevikRunner_.runner().cancel();
    resolvePartitionApproval(ApprovalOutcome::cancelled);
}

void PipelineManager::forceKill() {
    cancel();
    colmapRunner_.runner().kill();
    trevikRunner_.runner().kill();
}

bool PipelineManager::isProcessRunning() {
    // One runner's lock after the other, never both.
    if (colmapRunner_.runner().isRunning()) return true;
    return trevikRunner_.runner().isRunning();
}

// MARK: - Shared routines

std::optional<std::string> PipelineManager::firstExistingPath(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        std::error_code error;
        if (fs::exists(candidate, error)) return candidate;
    }
    return std::nullopt;
}

std::vector<std::string> PipelineManager::markPartialNames(const std::vector<std::string>& names) {
    std::vector<std::string> marked;
    marked.reserve(names.size());
    for (const std::string& name : names) marked.push_back(name + " (part)");
    return marked;
}

void PipelineManager::symlinkReplacing(const fs::path& link, const fs::path& destination) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(link, error);
    if (!error && fs::exists(status)) {
        // A real folder or file (from an earlier run, or the user's) is used
        // as it is.
        if (!fs::is_symlink(status)) return;
        fs::path current = fs::read_symlink(link, error);
        if (!error && current.string() == destination.string()) return;
        if (!fs::remove(link, error) && error) throw core::FileError("remove", link, error);
    }
    fs::create_symlink(destination, link, error);
    if (error) throw core::FileError("create symbolic link", link, error);
}

std::optional<partition::CodablePoint2D> PipelineManager::clusterCentroid(const std::string& cellId,
                                                                          const partition::PartitionPlan& plan) {
    if (!plan.clusterCentroids) return std::nullopt;
    std::vector<std::string_view> parts;
    std::string_view rest = cellId;
    while (!rest.empty()) {
        size_t at = rest.find('_');
        std::string_view part = rest.substr(0, at);
        if (!part.empty()) parts.push_back(part);
        if (at == std::string_view::npos) break;
        rest.remove_prefix(at + 1);
    }
    if (parts.size() != 2 || parts[0] != "cell") return std::nullopt;
    auto index = core::parseDecimalInteger(parts[1]);
    const auto& centroids = *plan.clusterCentroids;
    if (!index || *index < 0 || uint64_t(*index) >= centroids.size()) return std::nullopt;
    partition::CodablePoint2D centroid = centroids[size_t(*index)];
    if (plan.schemaVersion) return centroid;
    // Plans of the old layout stored centroids in model units.
    const partition::SceneNormalization& normalization = plan.normalization;
    return partition::CodablePoint2D{(centroid.x - normalization.centerX) / normalization.radius,
                                     (centroid.z - normalization.centerZ) / normalization.radius};
}

std::vector<PendingCell> PipelineManager::pendingCells(const std::vector<PreparedCell>& preparedCells,
                                                       const std::vector<partition::PartitionCell>& planCells,
                                                       int64_t defaultCapMax, int64_t defaultIterations) {
    std::map<std::string, const partition::PartitionCell*> byId;
    for (const partition::PartitionCell& cell : planCells) byId.emplace(cell.id, &cell);
    std::vector<PendingCell> queue;
    queue.reserve(preparedCells.size());
    for (const PreparedCell& prepared : preparedCells) {
        auto found = byId.find(prepared.cellId);
        const partition::PartitionCell* planCell = found == byId.end() ? nullptr : found->second;
        queue.push_back(PendingCell{prepared.cellId, prepared.url, prepared.coreBounds, prepared.expandedBounds, 0,
                                    planCell ? planCell->recommendedCapMax : defaultCapMax,
                                    planCell ? planCell->recommendedIterations : defaultIterations});
    }
    return queue;
}

std::optional<std::string> PipelineManager::findMaskDirectory(const fs::path& imagesURL, const fs::path& workspaceURL) {
    for (const fs::path& candidate : {withoutTrailingSeparator(imagesURL).parent_path() / "masks", workspaceURL / "masks"}) {
        std::error_code error;
        if (!fs::is_directory(candidate, error)) continue;
        fs::directory_iterator entries(candidate, error);
        // A listing that fails counts as empty.
        if (!error && entries != fs::directory_iterator()) return candidate.string();
    }
    return std::nullopt;
}

std::string PipelineManager::memoryFitMessage(double needGB, double budgetGB) {
    return "This model size needs about " + core::fixedText(needGB, 1) + " GB of memory, more than the " +
           core::fixedText(budgetGB, 1) +
           " GB this computer can give it. Turn on partitioning (Advanced) or choose a smaller model size.";
}

}  // namespace tessaron::pipeline
