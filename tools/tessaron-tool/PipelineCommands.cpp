// tessaron-tool pipeline, scan, report, log: the pipeline driver from the
// shell: a whole run with every setting as an option, the workspace scan, the
// run report and the run log.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "InterruptWatch.hpp"
#include "ReportKeeper.hpp"
#include "ToolCommand.hpp"
#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "core/PreferenceStore.hpp"
#include "engines/DatasetProfile.hpp"
#include "core/TextDecoding.hpp"
#include "engines/WorkspaceFiles.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/ApplicationSupport.hpp"
#include "pipeline/PhotoFolderCheck.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunReport.hpp"
#include "pipeline/WorkspaceScanner.hpp"

namespace tessaron::tool {

namespace {

namespace fs = std::filesystem;

// The application keeps "reportedInterruptedRun" in its settings; the
// harness keeps it in a small JSON file so that two invocations share it.
class JSONFilePreferenceStore : public core::PreferenceStore {
public:
    // A few keys: a file beyond this is not the harness's.
    static constexpr std::uint64_t maximumFileBytes = std::uint64_t(1) << 20;

    // Throws core::Error when the file is there but is not a regular file
    // of at most maximumFileBytes; a missing file holds no keys.
    explicit JSONFilePreferenceStore(fs::path file) : file_(std::move(file)) {
        std::error_code missing;
        if (fs::symlink_status(file_, missing).type() != fs::file_type::not_found)
            values_ = nlohmann::json::parse(core::readWholeFile(file_, maximumFileBytes), nullptr, false);
        if (!values_.is_object()) values_ = nlohmann::json::object();
    }
    std::optional<std::string> string(const std::string& key) const override {
        auto found = values_.find(key);
        if (found == values_.end() || !found->is_string()) return std::nullopt;
        return found->get<std::string>();
    }
    void setString(const std::string& key, const std::string& value) override {
        values_[key] = value;
        core::AtomicFile::write(file_, values_.dump());
    }

private:
    fs::path file_;
    nlohmann::json values_;
};

int report(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) return usageError("report needs begin|pending|summary and a log folder");
    const std::string& action = arguments[0];
    const fs::path folder = arguments[1];
    if (action == "begin") {
        pipeline::RunReport runReport;
        runReport.kind = arguments.size() > 2 ? arguments[2] : "New run";
        runReport.input = arguments.size() > 3 ? arguments[3] : "";
        runReport.startedAt = core::Clock::now();
        pipeline::RunReport::save(runReport, folder);
        std::cout << runReport.encode() << "\n";
        return 0;
    }
    if (action == "pending") {
        JSONFilePreferenceStore defaults(arguments.size() > 2 ? fs::path(arguments[2]) : folder / "defaults.json");
        std::string unreadable;
        auto interrupted = pipeline::RunReport::pendingInterruptedRun(folder, defaults, &unreadable);
        if (!unreadable.empty()) std::cerr << "⚠ " << unreadable << "\n";
        if (!interrupted) {
            std::cout << "no interrupted run\n";
            return 0;
        }
        std::cout << interrupted->summary() << "\n";
        return 0;
    }
    if (action == "summary") {
        std::cout << pipeline::RunReport::load(folder).summary() << "\n";
        return 0;
    }
    return usageError("report: unknown action " + action);
}

// The options of `pipeline run`, parsed into the run's parameters.
struct PipelineOptions {
    pipeline::PipelineManager::RunParameters parameters;
    pipeline::PipelineManager::Configuration configuration;
    std::optional<fs::path> input;
    std::optional<fs::path> outputFolder;
    bool keepReport = false;
    // The answer to a partition plan; none: asked on the terminal.
    std::optional<pipeline::PipelineManager::ApprovalOutcome> approval;
    std::optional<input::CropLayoutPreset> layoutPreset;
    int cropSize = 2048;
    double fovDegrees = 100;
};

constexpr const char* pipelineUsage =
    "run <input> <output-folder> [--video] [--360] [--layout fullSphere16|horizontal8] [--crop-size px] [--fov deg] "
    "[--person-masks off|allPeople|operatorOnly] [--skip-sfm <colmap-folder>] [--rate n] [--iterations n] "
    "[--no-blur-filter] [--blur-threshold t] [--camera-per-image] [--no-eval] [--downscale n] [--partition] "
    "[--approve|--decline] [--cap-max n] [--global-mapper] [--cpu-sift] [--aggressive-sift] "
    "[--override-partition-params] "
    "[--ram-limit gb] [--diagnostics] [--colmap path] [--trevik path] [--support folder] [--report]: a whole run in "
    "a new workspace inside the output folder, printing each state and log line";

// Returns an error text, or nothing when every option was understood.
std::optional<std::string> parsePipelineOptions(const std::vector<std::string>& arguments, PipelineOptions& options) {
    auto& parameters = options.parameters;
    parameters.useVastGaussian = false;  // partitioning is asked for with --partition
    parameters.ramLimitGB = partition::VastGaussianPartitioner::ramLimitGB(
        std::nullopt, uint64_t(engines::DatasetProfile::queryPhysicalMemoryGB()) << 30);
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        std::optional<std::string> value;
        auto needsValue = [&]() -> bool {
            if (index + 1 >= arguments.size()) return false;
            value = arguments[++index];
            return true;
        };
        auto integer = [&](auto& target) -> bool {
            if (!needsValue()) return false;
            using Target = std::remove_reference_t<decltype(target)>;
            auto parsed = core::parseDecimalInteger(*value);
            if (!parsed || *parsed < std::numeric_limits<Target>::min() || *parsed > std::numeric_limits<Target>::max())
                return false;
            target = static_cast<Target>(*parsed);
            return true;
        };
        auto number = [&](double& target) { return needsValue() && core::parseDouble(*value, target); };
        bool understood = true;
        if (argument == "--video") parameters.isVideo = true;
        else if (argument == "--360") parameters.is360 = true;
        else if (argument == "--layout") {
            understood = needsValue() && (options.layoutPreset = input::cropLayoutPresetFromString(*value)).has_value();
        } else if (argument == "--crop-size") understood = integer(options.cropSize);
        else if (argument == "--fov") understood = number(options.fovDegrees);
        else if (argument == "--person-masks") {
            std::optional<input::PersonMaskMode> mode;
            understood = needsValue() && (mode = input::personMaskModeFromString(*value)).has_value();
            if (mode) parameters.personMaskMode = *mode;
        } else if (argument == "--skip-sfm") {
            understood = needsValue();
            parameters.skipSfM = true;
            if (value) parameters.colmapDataURL = fs::absolute(*value);
        } else if (argument == "--rate") understood = integer(parameters.frameExtractionRate);
        else if (argument == "--iterations") understood = integer(parameters.iterations);
        else if (argument == "--no-blur-filter") parameters.sharpnessEnabled = false;
        else if (argument == "--blur-threshold") understood = number(parameters.sharpnessThreshold);
        else if (argument == "--camera-per-image") parameters.colmapSingleCamera = false;
        else if (argument == "--no-eval") parameters.trevikEval = false;
        else if (argument == "--downscale") understood = integer(parameters.trevikDownscaleFactor);
        else if (argument == "--partition") parameters.useVastGaussian = true;
        else if (argument == "--approve") options.approval = pipeline::PipelineManager::ApprovalOutcome::approved;
        else if (argument == "--decline") options.approval = pipeline::PipelineManager::ApprovalOutcome::cancelled;
        else if (argument == "--cap-max") understood = integer(parameters.capMax);
        else if (argument == "--global-mapper") parameters.useGlobalMapper = true;
        else if (argument == "--cpu-sift") parameters.useGPUSIFT = false;
        else if (argument == "--aggressive-sift") parameters.useAggressiveSIFT = true;
        else if (argument == "--override-partition-params") parameters.overrideVastGaussianParams = true;
        else if (argument == "--ram-limit") understood = number(parameters.ramLimitGB);
        else if (argument == "--diagnostics") parameters.diagnostics = true;
        else if (argument == "--colmap") {
            understood = needsValue();
            options.configuration.colmapPath = value;
        } else if (argument == "--trevik") {
            understood = needsValue();
            options.configuration.trevikPath = value;
        } else if (argument == "--support") {
            understood = needsValue();
            if (value) options.configuration.supportFolder = fs::path(*value);
        } else if (argument == "--report") options.keepReport = true;
        else if (argument.starts_with("-")) return "unknown option " + argument;
        else if (!options.input) options.input = fs::absolute(argument);
        else if (!options.outputFolder) options.outputFolder = fs::absolute(argument);
        else return "unexpected argument " + argument;
        if (!understood) return argument + " needs a valid value";
    }
    if (!options.input || !options.outputFolder) return "needs an input and an output folder";
    // Every value in range before anything runs: a negative downscale or
    // memory limit would otherwise surface hours later, or not at all.
    // The training settings in the ranges the engine takes: one beyond them
    // would fail at training, after COLMAP.
    using engines::TrainingLimits;
    for (auto problem : {belowMinimum("--rate", parameters.frameExtractionRate, 1),
                         outsideRange("--iterations", parameters.iterations, TrainingLimits::iterations),
                         // 0: automatic
                         outsideRange("--downscale", parameters.trevikDownscaleFactor,
                                      {0, TrainingLimits::downscale.maximum}),
                         outsideRange("--cap-max", parameters.capMax, TrainingLimits::capMax),
                         belowMinimum("--crop-size", options.cropSize, 1),
                         notPositiveGB("--ram-limit", parameters.ramLimitGB)})
        if (problem) return *problem;
    if (!(options.fovDegrees > 0 && options.fovDegrees < 180))
        return "--fov must be between 0 and 180 degrees (got " + core::shortestText(options.fovDegrees) + ")";
    if (!(parameters.sharpnessThreshold >= 0 && std::isfinite(parameters.sharpnessThreshold)))
        return "--blur-threshold must be 0 or more (got " + core::shortestText(parameters.sharpnessThreshold) + ")";
    // A 360° video given without --video is still a video.
    std::error_code ignored;
    if (parameters.is360 && !parameters.isVideo && fs::is_regular_file(*options.input, ignored))
        parameters.isVideo = true;
    parameters.inputURL = *options.input;
    if (options.layoutPreset || options.cropSize != 2048 || options.fovDegrees != 100)
        parameters.cropLayout = input::CropLayout(options.layoutPreset.value_or(input::CropLayoutPreset::fullSphere16),
                                                  options.cropSize, options.fovDegrees);
    return std::nullopt;
}

// One line from `descriptor` without its newline (the rest at the end of
// the input), or none once `stop` is requested: a prompt must not hold the
// harness open after an interrupt until someone presses Enter.
std::optional<std::string> readLineUnlessStopped(int descriptor, const std::stop_token& stop) {
    std::string line;
    for (;;) {
        pollfd input{descriptor, POLLIN, 0};
        while (!stop.stop_requested()) {
            int ready = ::poll(&input, 1, 50);
            if (ready > 0 || (ready < 0 && errno != EINTR)) break;
        }
        if (stop.stop_requested()) return std::nullopt;
        char byte = 0;
        ssize_t count = ::read(descriptor, &byte, 1);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0 || byte == '\n') return line;
        line.push_back(byte);
    }
}

int pipelineCommand(const std::vector<std::string>& arguments) {
    if (arguments.empty() || arguments[0] != "run") return usageError(std::string("pipeline ") + pipelineUsage);
    PipelineOptions options;
    if (auto problem = parsePipelineOptions({arguments.begin() + 1, arguments.end()}, options))
        return usageError("pipeline run: " + *problem);

    InterruptWatch interrupts;  // before the manager starts any thread
    auto monitor = std::make_shared<engines::ProcessMonitor>();
    auto manager = pipeline::PipelineManager::create(monitor, options.configuration);

    std::mutex printing;
    bool completed = false;
    std::atomic<bool> answered = false;
    std::jthread answering;
    std::optional<ReportKeeper> report;
    pipeline::PipelineManager::Callbacks callbacks;
    callbacks.onLog = [&](pipeline::PipelineLogStep step, const std::string& text) {
        std::lock_guard lock(printing);
        std::cout << "[" << tag(step) << "] " << text << std::endl;
    };
    callbacks.onStateChange = [&](const pipeline::PipelineState& state) {
        std::lock_guard lock(printing);
        std::cout << "state: " << toString(state) << std::endl;
        completed = state.kind == pipeline::PipelineState::Kind::completed;
        if (state.kind != pipeline::PipelineState::Kind::awaitingPartitionApproval) answered = true;
        if (report) report->update(state);
    };
    callbacks.onWarning = [&](const std::string& warning) {
        if (report) report->warning(warning);
    };
    callbacks.onCellStarted = [&](int64_t index, int64_t total, int64_t) {
        if (report) report->cellStarted(index, total);
    };
    callbacks.onOutputReady = [&](const std::string& path) {
        std::lock_guard lock(printing);
        std::cout << "output: " << path << std::endl;
    };
    // The Planning panel's part: the answer is given from another thread
    // until the waiting run has taken it (one given before the wait is lost).
    callbacks.onPartitionPlanReady = [&](const partition::PartitionPlan&) {
        answered = false;
        answering = std::jthread([&](std::stop_token stop) {
            auto answer = options.approval;
            if (!answer) {
                std::cout << "Approve the partition plan? [y/N] " << std::flush;
                auto reply = readLineUnlessStopped(STDIN_FILENO, stop);
                if (!reply) return;  // the run ended while the prompt waited (an interrupt)
                answer = *reply == "y" || *reply == "yes" ? pipeline::PipelineManager::ApprovalOutcome::approved
                                                          : pipeline::PipelineManager::ApprovalOutcome::cancelled;
            }
            while (!stop.stop_requested() && !answered) {
                manager->resolvePartitionApproval(*answer);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    };
    callbacks.onLogFileReady = [&](const fs::path& file) {
        std::lock_guard lock(printing);
        std::cout << "run log: " << file.string() << std::endl;
    };
    manager->setCallbacks(std::move(callbacks));

    // What the photo road's input lacks that shows without decoding is
    // refused before a workspace exists; the run decodes the photos, once,
    // where an interrupt's cancel reaches the check.
    if (!(options.parameters.skipSfM && options.parameters.colmapDataURL) && !options.parameters.isVideo)
        pipeline::PhotoFolderCheck::requireListing(options.parameters.inputURL, *options.outputFolder);
    // As the application does: a fresh workspace inside the chosen folder.
    fs::create_directories(*options.outputFolder);
    options.parameters.workspaceURL = engines::WorkspaceFiles::createWorkspaceFolder(*options.outputFolder);
    std::cout << "workspace: " << options.parameters.workspaceURL.string() << std::endl;
    if (options.keepReport && manager->logFolder()) {
        const auto& parameters = options.parameters;
        report.emplace(*manager->logFolder(), "New run", parameters.inputURL.string(),
                       pipeline::RunReport::settingsSummary({.modelSize = parameters.capMax,
                                                             .downscale = parameters.trevikDownscaleFactor,
                                                             .eval = parameters.trevikEval,
                                                             .ramLimitGB = parameters.ramLimitGB,
                                                             .partitioning = parameters.useVastGaussian,
                                                             .skipSfM = parameters.skipSfM}));
    }
    interrupts.onInterrupt([&] {
        if (report) report->cancelling();
        manager->cancel();
    });

    if (!interrupts.interrupted()) manager->runPipeline(options.parameters);
    if (report) report->finish();
    if (interrupts.interrupted()) {
        std::cout << "Pipeline cancelled." << std::endl;
        return InterruptWatch::exitStatus;
    }
    return completed ? 0 : 1;
}

int scanCommand(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return usageError("scan needs a workspace folder");
    pipeline::WorkspaceScanResult result = pipeline::WorkspaceScanner::scan(arguments[0]);
    auto optionalText = [](const auto& value) -> std::string {
        if (!value) return "none";
        if constexpr (std::is_same_v<std::decay_t<decltype(*value)>, bool>) return *value ? "true" : "false";
        else return std::to_string(*value);
    };
    std::cout << "workspace: " << result.workspaceURL.string() << "\n"
              << "global model: " << result.globalSparseURL.string() << "\n"
              << "images: " << result.imageDir.string() << "\n";
    for (const pipeline::ScannedCell& cell : result.cells)
        std::cout << "cell " << cell.cellId << ": "
                  << (cell.status == pipeline::CellStatus::completed ? "completed" : "incomplete") << "\n";
    for (const std::string& id : result.missingPlannedCells) std::cout << "missing " << id << "\n";
    for (const std::string& id : result.rejectedPlannedCells) std::cout << "rejected plan cell id " << id << "\n";
    for (const std::string& problem : result.unusableFiles) std::cout << "not used: " << problem << "\n";
    std::cout << "downscale: " << optionalText(result.downscaleFromLog) << "\n"
              << "cap: " << optionalText(result.capMaxFromLog) << "\n"
              << "eval: " << optionalText(result.evalFromLog) << "\n";
    return 0;
}

const ToolCommand::Registration pipelineRegistration({"pipeline", pipelineUsage, pipelineCommand});
const ToolCommand::Registration scanRegistration(
    {"scan", "<workspace>: what a resume would find in an interrupted workspace", scanCommand});
const ToolCommand::Registration reportCommand({"report",
                                               "begin <log-folder> [kind] [input] | pending <log-folder> "
                                               "[defaults.json] | summary <log-folder>: the run report last_run.json",
                                               report});

}  // namespace

}  // namespace tessaron::tool
