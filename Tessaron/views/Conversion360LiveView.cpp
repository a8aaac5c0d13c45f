#include "views/Conversion360LiveView.hpp"

namespace tessaron::views {

Conversion360LiveView::Conversion360LiveView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : PlaceholderView(QStringLiteral("360° conversion"), parent) {
    (void)model;
}

}  // namespace tessaron::views
