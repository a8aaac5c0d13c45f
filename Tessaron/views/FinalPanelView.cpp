#include "views/FinalPanelView.hpp"

namespace tessaron::views {

FinalPanelView::FinalPanelView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent)
    : PlaceholderView(QStringLiteral("Final"), parent) {
    (void)model;
    (void)viewer;
}

}  // namespace tessaron::views
