#pragma once

#include <array>
#include <optional>
#include <string>

namespace tessaron::viewmodel {

// The five steps of the main window, in the order the step bar shows them.
enum class WorkflowStep { input, sfm, planning, training, final };

inline constexpr std::array<WorkflowStep, 5> allWorkflowSteps = {
    WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning, WorkflowStep::training, WorkflowStep::final};

// "Input", "SfM", "Planning", "Training", "Final".
std::string toString(WorkflowStep step);
// Exactly one of the five labels; anything else is absent.
std::optional<WorkflowStep> workflowStepFromString(const std::string& rawValue);

}  // namespace tessaron::viewmodel
