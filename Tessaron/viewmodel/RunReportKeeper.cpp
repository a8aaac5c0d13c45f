#include "viewmodel/RunReportKeeper.hpp"

#include <utility>

namespace tessaron::viewmodel {

using Kind = pipeline::PipelineState::Kind;
using Outcome = pipeline::RunReport::Outcome;

RunReportKeeper::RunReportKeeper(Folder folder, Warning warning)
    : folder_(std::move(folder)), warning_(std::move(warning)) {}

pipeline::RunReport RunReportKeeper::begin(const std::string& kind, const std::string& input,
                                           const std::vector<pipeline::RunReport::Setting>& settings) {
    pipeline::RunReport report;
    report.kind = kind;
    report.startedAt = core::Clock::now();
    report.input = input;
    report.settings = settings;
    report.step = "Starting";
    report.outcome = Outcome::running;
    failureTold_ = false;
    return report;
}

void RunReportKeeper::save(const pipeline::RunReport& report) {
    const std::optional<std::filesystem::path> folder = folder_();
    if (!folder) return;
    try {
        pipeline::RunReport::save(report, *folder);
    } catch (const pipeline::RunReport::SaveError& error) {
        // A full or read-only support folder is said once per report.
        if (std::exchange(failureTold_, true)) return;
        warning_(std::string("\u26a0 ") + error.what());
    }
}

std::optional<pipeline::RunReport> RunReportKeeper::advanced(pipeline::RunReport report,
                                                             const pipeline::PipelineState& state,
                                                             const std::string& stepTitle, bool isCancelling) {
    switch (state.kind) {
    case Kind::idle: return std::nullopt;
    case Kind::completed:
        report.outcome = Outcome::completed;
        report.endedAt = core::Clock::now();
        return report;
    case Kind::error:
        // An error while cancelling is the cancel's own end, not a failure.
        if (isCancelling) return cancelled(std::move(report));
        report.outcome = Outcome::failed;
        report.error = state.message;
        report.endedAt = core::Clock::now();
        return report;
    case Kind::extractingFrames:
    case Kind::processingSfM:
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells:
    case Kind::training:
    case Kind::exporting: report.step = stepTitle; return report;
    }
    return std::nullopt;
}

pipeline::RunReport RunReportKeeper::cancelled(pipeline::RunReport report) {
    report.outcome = Outcome::cancelled;
    report.error.reset();
    report.endedAt = core::Clock::now();
    return report;
}

}  // namespace tessaron::viewmodel
