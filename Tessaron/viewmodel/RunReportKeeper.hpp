#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/PipelineState.hpp"
#include "pipeline/RunReport.hpp"

namespace tessaron::viewmodel {

// The run report's changes and its last_run.json. A save that fails costs
// the report, not the run: the first failure of each report is told as one
// "⚠" line, and the operation goes on.
class RunReportKeeper {
public:
    // Where last_run.json is written; none without a support folder.
    using Folder = std::function<std::optional<std::filesystem::path>()>;
    // Receives the warning line of a failed save.
    using Warning = std::function<void(const std::string& line)>;

    RunReportKeeper(Folder folder, Warning warning);

    std::optional<std::filesystem::path> folder() const { return folder_(); }
    // A new report ("New run", "Resume", "Re-merge"): step "Starting",
    // outcome running. Its own first failed save is told again.
    pipeline::RunReport begin(const std::string& kind, const std::string& input,
                              const std::vector<pipeline::RunReport::Setting>& settings);
    void save(const pipeline::RunReport& report);

    // `report` as `state` leaves it: a working state names its step, completed
    // and error end it (an error while cancelling ends it cancelled); none
    // for idle, which changes nothing.
    static std::optional<pipeline::RunReport> advanced(pipeline::RunReport report,
                                                       const pipeline::PipelineState& state,
                                                       const std::string& stepTitle, bool isCancelling);
    // `report` ended cancelled now, without an error.
    static pipeline::RunReport cancelled(pipeline::RunReport report);

private:
    Folder folder_;
    Warning warning_;
    bool failureTold_ = false;
};

}  // namespace tessaron::viewmodel
