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

}  // namespace tessaron::viewmodel
