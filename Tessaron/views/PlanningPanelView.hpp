#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The Planning step's panel: the planner's phase, the plan review and its approval.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class PlanningPanelView : public PlaceholderView {
    Q_OBJECT
public:
    explicit PlanningPanelView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
};

}  // namespace tessaron::views
