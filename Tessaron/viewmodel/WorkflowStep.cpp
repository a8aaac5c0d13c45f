#include "viewmodel/WorkflowStep.hpp"

namespace tessaron::viewmodel {

std::string toString(WorkflowStep step) {
    switch (step) {
    case WorkflowStep::input: return "Input";
    case WorkflowStep::sfm: return "SfM";
    case WorkflowStep::planning: return "Planning";
    case WorkflowStep::training: return "Training";
    case WorkflowStep::final: return "Final";
    }
    return "Input";
}

std::optional<WorkflowStep> workflowStepFromString(const std::string& rawValue) {
    for (WorkflowStep step : allWorkflowSteps)
        if (toString(step) == rawValue) return step;
    return std::nullopt;
}

std::optional<WorkflowStep> workflowStep(const pipeline::PipelineState& state) {
    using Kind = pipeline::PipelineState::Kind;
    switch (state.kind) {
    case Kind::idle: return std::nullopt;
    case Kind::extractingFrames: return WorkflowStep::input;
    case Kind::processingSfM: return WorkflowStep::sfm;
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells: return WorkflowStep::planning;
    case Kind::training: return WorkflowStep::training;
    case Kind::exporting:
    case Kind::completed:
    case Kind::error: return WorkflowStep::final;
    }
    return std::nullopt;
}

bool isStepFinished(WorkflowStep step, const pipeline::PipelineState& state) {
    if (state.kind == pipeline::PipelineState::Kind::error || step == WorkflowStep::final) return false;
    const std::optional<WorkflowStep> reached = workflowStep(state);
    // The steps are declared in the step bar's order.
    return reached && step < *reached;
}

}  // namespace tessaron::viewmodel
