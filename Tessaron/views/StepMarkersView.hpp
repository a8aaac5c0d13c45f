#pragma once

#include <QWidget>

#include <array>
#include <functional>

#include "viewmodel/StepProgress.hpp"
#include "viewmodel/WorkflowStep.hpp"

namespace tessaron::views {

// The five step markers at the bottom of the window, joined by short
// connectors: the selected step is drawn expanded and tinted, a finished
// one green with a checkmark. A click selects a step.
class StepMarkersView : public QWidget {
public:
    explicit StepMarkersView(QWidget* parent = nullptr);

    void setSelectedStep(viewmodel::WorkflowStep step);
    viewmodel::WorkflowStep selectedStep() const { return selected_; }
    void setStatuses(const std::array<viewmodel::StepProgress, 5>& statuses);

    // Called when the user clicks a marker.
    std::function<void(viewmodel::WorkflowStep)> onStepClicked;

    // Where a marker lies, for clicks and tests.
    QRect markerRect(viewmodel::WorkflowStep step) const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int markerWidth(viewmodel::WorkflowStep step) const;

    viewmodel::WorkflowStep selected_ = viewmodel::WorkflowStep::input;
    std::array<viewmodel::StepProgress, 5> statuses_{};
};

}  // namespace tessaron::views
