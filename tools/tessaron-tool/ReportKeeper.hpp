#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/PipelineState.hpp"
#include "pipeline/RunReport.hpp"

namespace tessaron::tool {

// Keeps last_run.json the way the window does: begun at the start, rewritten
// at every working state (with its title), every change of training cell and
// the outcome. An error that follows a cancel ends the report as cancelled.
// Callbacks of the run call it from the run's threads; `lock_` guards all.
class ReportKeeper {
public:
    ReportKeeper(std::filesystem::path folder, std::string kind, std::string input,
                 std::vector<pipeline::RunReport::Setting> settings);

    void update(const pipeline::PipelineState& state);
    void cellStarted(int64_t index, int64_t total);
    // A warning of the driver about the result, kept in the report.
    void warning(const std::string& text);
    // The operation is being cancelled: what fails from now on was stopped.
    void cancelling();
    // The operation returned: a report still running was cancelled.
    void finish();

private:
    void save();

    std::mutex lock_;
    std::filesystem::path folder_;
    pipeline::RunReport report_;
    std::optional<pipeline::PipelineState> state_;
    int64_t cellIndex_ = 0;
    int64_t totalCells_ = 0;
    bool cancelling_ = false;
};

}  // namespace tessaron::tool
