#pragma once

#include <array>
#include <optional>
#include <string>

#include "pipeline/PipelineState.hpp"

namespace tessaron::viewmodel {

// The five steps of the main window, in the order the step bar shows them.
enum class WorkflowStep { input, sfm, planning, training, final };

inline constexpr std::array<WorkflowStep, 5> allWorkflowSteps = {
    WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning, WorkflowStep::training, WorkflowStep::final};

// "Input", "SfM", "Planning", "Training", "Final".
std::string toString(WorkflowStep step);
// Exactly one of the five labels; anything else is absent.
std::optional<WorkflowStep> workflowStepFromString(const std::string& rawValue);

// The step a state belongs to, the one every view shows for it: the step of
// a working state (exporting is the Final step), Final for a run that has
// ended (completed or failed), none for idle.
std::optional<WorkflowStep> workflowStep(const pipeline::PipelineState& state);
// Whether the run has finished `step`: a step before the one of its working
// or completed state. A failed or idle run has finished none, and the Final
// step is never finished.
bool isStepFinished(WorkflowStep step, const pipeline::PipelineState& state);

}  // namespace tessaron::viewmodel
