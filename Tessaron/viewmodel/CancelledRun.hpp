#pragma once

#include <optional>

#include <QString>

#include "pipeline/PipelineState.hpp"
#include "viewmodel/WorkflowStep.hpp"

namespace tessaron::viewmodel {

// What a cancelled operation leaves for the window to say once it has ended,
// until the next operation starts or the view is reset: where it stopped,
// and which step log holds its last lines (the driver's "Pipeline
// cancelled." among them).
struct CancelledRun {
    // The step that was running; none when the operation was cancelled
    // before its first step.
    std::optional<WorkflowStep> step;
    // Where it stopped, as its run report names it: "Camera poses (COLMAP)",
    // "Training (cell 2 of 4)".
    QString stepTitle;
    // The step log of the operation's last line, else the log of the step
    // it stopped in; none when there is neither.
    std::optional<pipeline::PipelineLogStep> lastLogStep;

    // The sentence the window shows.
    QString note() const {
        if (!step) return QStringLiteral("Run cancelled before it started.");
        return QStringLiteral("Run cancelled at ") + stepTitle + QLatin1Char('.');
    }

    bool operator==(const CancelledRun&) const = default;
};

using OptionalCancelledRun = std::optional<CancelledRun>;

}  // namespace tessaron::viewmodel
