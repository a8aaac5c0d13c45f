#include "ReportKeeper.hpp"

#include <iostream>

namespace tessaron::tool {

using pipeline::PipelineState;
using pipeline::RunReport;

ReportKeeper::ReportKeeper(std::filesystem::path folder, std::string kind, std::string input,
                           std::vector<RunReport::Setting> settings)
    : folder_(std::move(folder)) {
    report_.kind = std::move(kind);
    report_.startedAt = core::Clock::now();
    report_.input = std::move(input);
    report_.settings = std::move(settings);
    save();
}

void ReportKeeper::update(const PipelineState& state) {
    std::lock_guard lock(lock_);
    if (report_.outcome != RunReport::Outcome::running) return;
    state_ = state;
    if (state.kind == PipelineState::Kind::completed) {
        report_.outcome = RunReport::Outcome::completed;
        report_.endedAt = core::Clock::now();
    } else if (state.isError()) {
        report_.outcome = cancelling_ ? RunReport::Outcome::cancelled : RunReport::Outcome::failed;
        if (!cancelling_) report_.error = state.message;
        report_.endedAt = core::Clock::now();
    } else if (state.kind != PipelineState::Kind::idle) {
        report_.step = pipeline::stepTitle(state, cellIndex_, totalCells_);
    }
    save();
}

void ReportKeeper::cellStarted(int64_t index, int64_t total) {
    std::lock_guard lock(lock_);
    cellIndex_ = index;
    totalCells_ = total;
    if (report_.outcome != RunReport::Outcome::running || !state_ || state_->kind != PipelineState::Kind::training)
        return;
    report_.step = pipeline::stepTitle(*state_, cellIndex_, totalCells_);
    save();
}

void ReportKeeper::warning(const std::string& text) {
    std::lock_guard lock(lock_);
    report_.warnings.push_back(text);
    save();
}

void ReportKeeper::cancelling() {
    std::lock_guard lock(lock_);
    cancelling_ = true;
}

void ReportKeeper::finish() {
    std::lock_guard lock(lock_);
    if (report_.outcome != RunReport::Outcome::running) return;
    report_.outcome = RunReport::Outcome::cancelled;
    report_.endedAt = core::Clock::now();
    save();
}

void ReportKeeper::save() {
    try {
        RunReport::save(report_, folder_);
    } catch (const RunReport::SaveError& error) {
        std::cerr << "⚠ " << error.what() << std::endl;  // the run goes on without its report
    }
}

}  // namespace tessaron::tool
