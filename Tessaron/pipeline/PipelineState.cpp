#include "pipeline/PipelineState.hpp"

#include <algorithm>
#include <utility>

namespace tessaron::pipeline {

PipelineState PipelineState::error(std::string message) {
    PipelineState state(Kind::error);
    state.message = std::move(message);
    return state;
}

std::string toString(const PipelineState& state) {
    switch (state.kind) {
    case PipelineState::Kind::idle: return "idle";
    case PipelineState::Kind::extractingFrames: return "extractingFrames";
    case PipelineState::Kind::processingSfM: return "processingSfM";
    case PipelineState::Kind::preparingData: return "preparingData";
    case PipelineState::Kind::awaitingPartitionApproval: return "awaitingPartitionApproval";
    case PipelineState::Kind::materializingCells: return "materializingCells";
    case PipelineState::Kind::training: return "training";
    case PipelineState::Kind::exporting: return "exporting";
    case PipelineState::Kind::completed: return "completed";
    case PipelineState::Kind::error: return "error(" + state.message + ")";
    }
    return "idle";
}

std::string stepTitle(const PipelineState& state, int64_t currentCellIndex, int64_t totalCells) {
    switch (state.kind) {
    case PipelineState::Kind::idle: return "Idle";
    case PipelineState::Kind::extractingFrames: return "Frame extraction";
    case PipelineState::Kind::processingSfM: return "Camera poses (COLMAP)";
    case PipelineState::Kind::preparingData: return "Planning";
    case PipelineState::Kind::awaitingPartitionApproval: return "Plan approval";
    case PipelineState::Kind::materializingCells: return "Preparing cells";
    case PipelineState::Kind::training:
        if (totalCells < 2) return "Training";
        return "Training (cell " + std::to_string(std::max<int64_t>(currentCellIndex, 1)) + " of " +
               std::to_string(totalCells) + ")";
    case PipelineState::Kind::exporting: return "Merging and export";
    case PipelineState::Kind::completed: return "Done";
    case PipelineState::Kind::error: return "Unknown step";
    }
    return "Unknown step";
}

std::string tag(PipelineLogStep step) {
    switch (step) {
    case PipelineLogStep::extraction: return "EXTRACT";
    case PipelineLogStep::sfm: return "SFM";
    case PipelineLogStep::dataPrep: return "PREP";
    case PipelineLogStep::training: return "TRAIN";
    case PipelineLogStep::export_: return "EXPORT";
    }
    return "EXPORT";
}

}  // namespace tessaron::pipeline
