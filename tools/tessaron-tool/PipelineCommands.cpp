// tessaron-tool report, log: the pipeline driver's run report and run log
// from the shell.
#include <fstream>
#include <iostream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "ToolCommand.hpp"
#include "core/AtomicFile.hpp"
#include "core/PreferenceStore.hpp"
#include "pipeline/ApplicationSupport.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunReport.hpp"

namespace tessaron::tool {

namespace {

namespace fs = std::filesystem;

// The application keeps "reportedInterruptedRun" in its settings; the
// harness keeps it in a small JSON file so that two invocations share it.
class JSONFilePreferenceStore : public core::PreferenceStore {
public:
    explicit JSONFilePreferenceStore(fs::path file) : file_(std::move(file)) {
        std::ifstream stream(file_);
        if (stream) values_ = nlohmann::json::parse(stream, nullptr, false);
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
        auto interrupted = pipeline::RunReport::pendingInterruptedRun(folder, defaults);
        if (!interrupted) {
            std::cout << "no interrupted run\n";
            return 0;
        }
        std::cout << interrupted->summary() << "\n";
        return 0;
    }
    if (action == "summary") {
        std::cout << pipeline::RunReport::decode(core::readWholeFile(folder / pipeline::RunReport::fileName)).summary()
                  << "\n";
        return 0;
    }
    return usageError("report: unknown action " + action);
}

// Opens a run log on a workspace, writes one line per step and closes it.
int logSmoke(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return usageError("log needs a workspace folder");
    pipeline::PipelineManager::Configuration configuration;
    if (arguments.size() > 1) configuration.supportFolder = fs::path(arguments[1]);
    auto manager = pipeline::PipelineManager::create({}, configuration);
    std::mutex printing;
    manager->onLog = [&](pipeline::PipelineLogStep step, const std::string& text) {
        std::lock_guard lock(printing);
        std::cout << tag(step) << " " << text << "\n";
    };
    manager->onLogFileReady = [](const fs::path& file) { std::cout << "workspace log: " << file.string() << "\n"; };
    manager->startLog(arguments[0]);
    for (auto step : {pipeline::PipelineLogStep::extraction, pipeline::PipelineLogStep::sfm,
                      pipeline::PipelineLogStep::dataPrep, pipeline::PipelineLogStep::training,
                      pipeline::PipelineLogStep::export_})
        manager->onLog(step, "smoke line");
    manager->closeLog();
    if (auto folder = manager->logFolder()) std::cout << "support log: " << (*folder / "current_run.md").string() << "\n";
    return 0;
}

const ToolCommand::Registration reportCommand({"report",
                                               "begin <log-folder> [kind] [input] | pending <log-folder> "
                                               "[defaults.json] | summary <log-folder>: the run report last_run.json",
                                               report});
const ToolCommand::Registration logCommand(
    {"log", "<workspace> [support-folder]: opens a run log, writes a line per step and closes it", logSmoke});

}  // namespace

}  // namespace tessaron::tool
