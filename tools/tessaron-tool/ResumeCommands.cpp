// tessaron-tool pipeline resume, pipeline remerge: an interrupted partitioned
// workspace finished, or a finished one's cells merged again, from the
// shell, printing each state and log line as `pipeline run` does.
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

#include "InterruptWatch.hpp"
#include "ReportKeeper.hpp"
#include "ToolCommand.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/ProcessMonitor.hpp"
#include "core/TextDecoding.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunReport.hpp"
#include "pipeline/WorkspaceScanner.hpp"

namespace tessaron::tool {

namespace {

namespace fs = std::filesystem;

// What both commands take besides the workspace.
struct OperationOptions {
    std::optional<fs::path> workspace;
    std::optional<int64_t> iterations;
    std::optional<int64_t> downscale;
    std::optional<int64_t> capMax;
    std::optional<bool> eval;
    bool diagnostics = false;
    bool keepReport = false;
    pipeline::PipelineManager::Configuration configuration;
};

// Returns an error text, or nothing when every option was understood. The
// workspace is made absolute: the engine runs in its own folder.
std::optional<std::string> parseOptions(const std::vector<std::string>& arguments, OperationOptions& options) {
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        auto value = [&]() -> std::optional<std::string> {
            if (index + 1 >= arguments.size()) return std::nullopt;
            return arguments[++index];
        };
        auto integer = [&](std::optional<int64_t>& target) {
            auto text = value();
            if (text) target = core::parseDecimalInteger(*text);
            return target.has_value();
        };
        bool understood = true;
        if (argument == "--iterations") understood = integer(options.iterations);
        else if (argument == "--downscale") understood = integer(options.downscale);
        else if (argument == "--cap-max") understood = integer(options.capMax);
        else if (argument == "--eval") options.eval = true;
        else if (argument == "--no-eval") options.eval = false;
        else if (argument == "--diagnostics") options.diagnostics = true;
        else if (argument == "--report") options.keepReport = true;
        else if (argument == "--trevik") {
            options.configuration.trevikPath = value();
            understood = options.configuration.trevikPath.has_value();
        } else if (argument == "--support") {
            auto folder = value();
            if (folder) options.configuration.supportFolder = fs::path(*folder);
            understood = folder.has_value();
        } else if (argument.starts_with("-")) return "unknown option " + argument;
        else if (!options.workspace) options.workspace = fs::absolute(argument);
        else return "unexpected argument " + argument;
        if (!understood) return argument + " needs a valid value";
    }
    if (!options.workspace) return "needs a workspace folder";
    // Before anything runs; the engine takes iterations and downscale as an
    // int, so a larger value is never narrowed to another one.
    using engines::TrainingLimits;
    for (auto [option, value, range] : {std::tuple{"--iterations", options.iterations, TrainingLimits::iterations},
                                        std::tuple{"--downscale", options.downscale, TrainingLimits::downscale},
                                        std::tuple{"--cap-max", options.capMax, TrainingLimits::capMax}})
        if (value)
            if (auto problem = outsideRange(option, *value, range)) return problem;
    return std::nullopt;
}

// A manager whose every report is printed; the exit status says whether
// the operation completed. SIGINT and SIGTERM cancel it.
struct PrintingManager {
    InterruptWatch interrupts;  // before the manager starts any thread
    std::shared_ptr<engines::ProcessMonitor> monitor = std::make_shared<engines::ProcessMonitor>();
    std::shared_ptr<pipeline::PipelineManager> manager;
    std::optional<ReportKeeper> report;
    std::mutex printing;
    bool completed = false;

    explicit PrintingManager(const OperationOptions& options) {
        manager = pipeline::PipelineManager::create(monitor, options.configuration);
        pipeline::PipelineManager::Callbacks callbacks;
        callbacks.onLog = [this](pipeline::PipelineLogStep step, const std::string& text) {
            print("[" + tag(step) + "] " + text);
        };
        callbacks.onStateChange = [this](const pipeline::PipelineState& state) {
            print("state: " + toString(state));
            completed = state.kind == pipeline::PipelineState::Kind::completed;
            if (report) report->update(state);
        };
        callbacks.onOutputReady = [this](const std::string& path) { print("output: " + path); };
        callbacks.onLogFileReady = [this](const fs::path& file) { print("run log: " + file.string()); };
        callbacks.onWarning = [this](const std::string& warning) {
            if (report) report->warning(warning);
        };
        callbacks.onCellStarted = [this](int64_t index, int64_t total, int64_t iterations) {
            print("cell " + std::to_string(index) + "/" + std::to_string(total) + ", " + std::to_string(iterations) +
                  " iterations");
            if (report) report->cellStarted(index, total);
        };
        manager->setCallbacks(std::move(callbacks));
    }

    // Runs the operation with last_run.json kept when asked for; the exit status.
    int run(bool keepReport, const std::string& kind, std::vector<pipeline::RunReport::Setting> settings,
            const std::function<void()>& operation) {
        if (keepReport && manager->logFolder())
            report.emplace(*manager->logFolder(), kind, "Existing workspace", std::move(settings));
        interrupts.onInterrupt([this] {
            if (report) report->cancelling();
            manager->cancel();
        });
        if (!interrupts.interrupted()) operation();
        if (report) report->finish();
        if (interrupts.interrupted()) {
            print("Pipeline cancelled.");
            return InterruptWatch::exitStatus;
        }
        return completed ? 0 : 1;
    }

    void print(const std::string& line) {
        std::lock_guard lock(printing);
        std::cout << line << std::endl;
    }
};

constexpr const char* resumeUsage =
    "<workspace> [--downscale n] [--cap-max n] [--eval|--no-eval] [--iterations n] [--diagnostics] [--trevik path] "
    "[--support folder] [--report]: finish an interrupted partitioned run: train its unfinished cells and merge them all "
    "(downscale, cap and evaluation default to what the workspace records)";

int resumeCommand(const std::vector<std::string>& arguments) {
    OperationOptions options;
    if (auto problem = parseOptions(arguments, options)) return usageError("pipeline resume: " + *problem);
    const pipeline::WorkspaceScanResult scan = pipeline::WorkspaceScanner::scan(*options.workspace);
    // The interrupted run's settings, as the workspace recorded them.
    const std::optional<int64_t> downscale = options.downscale ? options.downscale : scan.downscaleFromLog;
    if (!downscale)
        return usageError("pipeline resume: the workspace records no downscale; give --downscale");
    // A run log can name any number; only one the engine takes is used.
    constexpr engines::TrainingLimits::Range downscaleRange = engines::TrainingLimits::downscale;
    if (!downscaleRange.contains(*downscale))
        return usageError("pipeline resume: the workspace records a downscale of " + std::to_string(*downscale) +
                          ", outside " + std::to_string(downscaleRange.minimum) + "…" +
                          std::to_string(downscaleRange.maximum) + "; give --downscale");
    const int64_t capMax = options.capMax.value_or(scan.capMaxFromLog.value_or(1000000));
    const bool eval = options.eval.value_or(scan.evalFromLog.value_or(true));
    const int64_t iterations = options.iterations.value_or(30000);

    PrintingManager printing(options);
    // The window's rows for a resume: the first four of a run's.
    auto settings = pipeline::RunReport::settingsSummary(
        {.modelSize = capMax,
         .downscale = *downscale,
         .eval = eval,
         .ramLimitGB = partition::VastGaussianPartitioner::ramLimitGB(
             std::nullopt, uint64_t(engines::DatasetProfile::queryPhysicalMemoryGB()) << 30)});
    settings.resize(4);
    return printing.run(options.keepReport, "Resume", std::move(settings), [&] {
        printing.manager->resumeInterruptedTraining({.scan = scan,
                                                     .iterations = int(iterations),
                                                     .downscale = int(*downscale),
                                                     .capMax = capMax,
                                                     .eval = eval,
                                                     .diagnostics = options.diagnostics});
    });
}

constexpr const char* remergeUsage =
    "<workspace> [--downscale n] [--cap-max n] [--support folder] [--report]: merge the trained cells of a partitioned "
    "workspace again into its output.ply";

int remergeCommand(const std::vector<std::string>& arguments) {
    OperationOptions options;
    if (auto problem = parseOptions(arguments, options)) return usageError("pipeline remerge: " + *problem);
    PrintingManager printing(options);
    return printing.run(options.keepReport, "Re-merge", {}, [&] {
        printing.manager->remergeExistingCells({.workspaceURL = *options.workspace,
                                                .downscale = int(options.downscale.value_or(2)),
                                                .capMax = options.capMax.value_or(1000000)});
    });
}

const ToolCommand::Registration resumeRegistration({"pipeline resume", resumeUsage, resumeCommand});
const ToolCommand::Registration remergeRegistration({"pipeline remerge", remergeUsage, remergeCommand});

}  // namespace

}  // namespace tessaron::tool
