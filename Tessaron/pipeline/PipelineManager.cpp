#include "pipeline/PipelineManager.hpp"

#include "pipeline/ApplicationSupport.hpp"

namespace tessaron::pipeline {

std::shared_ptr<PipelineManager> PipelineManager::create(std::weak_ptr<engines::ProcessMonitor> processMonitor,
                                                         Configuration configuration, core::Executor callbackExecutor) {
    return std::make_shared<PipelineManager>(ConstructionKey{}, std::move(processMonitor), std::move(configuration),
                                             std::move(callbackExecutor));
}

PipelineManager::PipelineManager(ConstructionKey, std::weak_ptr<engines::ProcessMonitor> processMonitor,
                                 Configuration configuration, core::Executor callbackExecutor)
    : colmapRunner_(std::move(configuration.colmapPath)),
      trevikRunner_(std::move(configuration.trevikPath)),
      processMonitor_(std::move(processMonitor)),
      callbackExecutor_(callbackExecutor ? std::move(callbackExecutor) : core::inlineExecutor()),
      callbacks_(std::make_shared<const Callbacks>()),
      runLog_(configuration.supportFolder ? configuration.supportFolder : applicationSupportFolder(),
              RunLog::Handlers{
                  [this](PipelineLogStep step, const std::string& text) { report<&Callbacks::onLog>(step, text); },
                  [this](const std::filesystem::path& file) { report<&Callbacks::onLogFileReady>(file); }}) {
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
    runLog_.close();
}

void PipelineManager::setCallbacks(Callbacks callbacks) {
    auto replacement = std::make_shared<const Callbacks>(std::move(callbacks));
    std::lock_guard lock(callbacksLock_);
    if (activeOperations_ > 0) throw BusyError();
    callbacks_ = std::move(replacement);
}

std::shared_ptr<const PipelineManager::Callbacks> PipelineManager::callbacks() const {
    std::lock_guard lock(callbacksLock_);
    return callbacks_;
}

// ---- Reporting ----

void PipelineManager::log(PipelineLogStep step, const std::string& text) { runLog_.message(step, text); }

void PipelineManager::reportState(const PipelineState& state) const { report<&Callbacks::onStateChange>(state); }

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
        if (auto self = weakSelf.lock()) self->report<&Callbacks::onExtractionProgress>(done, total);
    };
}

std::function<void(int64_t, int64_t)> PipelineManager::materializationProgressForwarder() {
    return [weakSelf = weak_from_this()](int64_t done, int64_t total) {
        if (auto self = weakSelf.lock()) self->report<&Callbacks::onMaterializationProgress>(done, total);
    };
}

std::function<void(int64_t, int64_t, float)> PipelineManager::trainingStatsForwarder() {
    return [weakSelf = weak_from_this()](int64_t step, int64_t splats, float msPerStep) {
        if (auto self = weakSelf.lock()) self->report<&Callbacks::onTrainingStats>(step, splats, msPerStep);
    };
}

std::function<bool()> PipelineManager::cancelProbe() {
    return [weakSelf = weak_from_this()] {
        auto self = weakSelf.lock();
        return !self || self->isCancelRequested();
    };
}

// ---- Operations ----

void PipelineManager::runGuarded(PipelineLogStep step, std::stop_token stopToken, const std::function<void()>& body) {
    // Child lines reach this manager through weak references; holding it
    // here keeps such a line from ever releasing it on a delivery queue.
    auto keepAlive = shared_from_this();
    {
        std::lock_guard lock(callbacksLock_);
        ++activeOperations_;
    }
    // A cancel of an earlier operation never leaks into this one.
    approvalGate_.reset();
    colmapRunner_.runner().resetCancel();
    trevikRunner_.runner().resetCancel();
    {
        // Registered after the reset: a stop asked for before the start
        // cancels at once, one asked for later ends the child or the wait
        // the operation is in, as cancel() does.
        std::stop_callback stopCancels(stopToken, [this] { cancel(); });
        try {
            body();
        } catch (const StageError& error) {
            log(error.step, error.line);
            reportState(PipelineState::error(error.what()));
        } catch (const std::exception& error) {
            // Each stage reports its own failures; this is the last guard,
            // so that nothing ends an operation silently. What a cancel
            // broke off is the cancel.
            if (!checkCancelled(step)) {
                log(step, std::string("Error: ") + error.what());
                reportState(PipelineState::error(error.what()));
            }
        }
        runLog_.close();
    }
    std::lock_guard lock(callbacksLock_);
    --activeOperations_;
}

// ---- Cancellation and approval ----

bool PipelineManager::isCancelRequested() const { return approvalGate_.isCancelRequested(); }

bool PipelineManager::checkCancelled(PipelineLogStep step) {
    if (!isCancelRequested()) return false;
    log(step, "Pipeline cancelled.");
    runLog_.close();
    return true;
}

void PipelineManager::resolvePartitionApproval(ApprovalOutcome outcome, std::optional<bool> diagnostics) {
    approvalGate_.resolve({outcome, diagnostics});
}

void PipelineManager::cancel() {
    // Latched before the children end: a stage that sees its child die
    // then finds the cancel, not a failure.
    approvalGate_.cancel();
    colmapRunner_.runner().cancel();
    trevikRunner_.runner().cancel();
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

// ---- Queries ----

std::optional<std::filesystem::path> PipelineManager::logFileURL() const { return runLog_.fileURL(); }

std::optional<std::filesystem::path> PipelineManager::logFolder() const { return runLog_.folder(); }

}  // namespace tessaron::pipeline
