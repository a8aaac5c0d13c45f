#include "views/TrainingPanelView.hpp"

namespace tessaron::views {

TrainingPanelView::TrainingPanelView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : PlaceholderView(QStringLiteral("Training"), parent) {
    (void)model;
}

}  // namespace tessaron::views
