#pragma once

#include <optional>

#include <QString>

#include "pipeline/PipelineState.hpp"
#include "viewmodel/WorkflowStep.hpp"

namespace tessaron::viewmodel {

// What the window says about a run that failed, while its error is shown:
// the step that was working when it failed, and the step log that holds the
// failure's lines, so that the log drawer shows why.
struct FailedRun {
    // The working step the failure ended; none when the run failed before
    // its first step (a workspace that could not be made or scanned).
    std::optional<WorkflowStep> step;
    // That step as its run report names it: "Camera poses (COLMAP)",
    // "Training (cell 2 of 4)"; empty without a step.
    QString stepTitle;
    // The step log of the failure's last line, else the log of the step
    // that failed; none when the failure wrote no line (the error message
    // is then all there is to show).
    std::optional<pipeline::PipelineLogStep> logStep;

    // The centre pane's sentence: a failed training keeps its long-standing
    // text; any other step is named, so that nobody looks for a training
    // that never ran.
    QString note() const {
        if (step == WorkflowStep::training) return QStringLiteral("Training failed \u2014 see the export panel.");
        if (!step)
            return logStep ? QStringLiteral("The run failed before its first step \u2014 see the Process Logs.")
                           : QStringLiteral("The run failed before its first step \u2014 see the message in the "
                                            "Final panel.");
        return stepTitle + QStringLiteral(" failed \u2014 see the Process Logs.");
    }

    bool operator==(const FailedRun&) const = default;
};

using OptionalFailedRun = std::optional<FailedRun>;

}  // namespace tessaron::viewmodel
