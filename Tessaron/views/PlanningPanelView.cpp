#include "views/PlanningPanelView.hpp"

namespace tessaron::views {

PlanningPanelView::PlanningPanelView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : PlaceholderView(QStringLiteral("Planning"), parent) {
    (void)model;
}

}  // namespace tessaron::views
