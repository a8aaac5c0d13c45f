#include "views/InputView.hpp"

namespace tessaron::views {

InputView::InputView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : PlaceholderView(QStringLiteral("Input"), parent) {
    (void)model;
}

}  // namespace tessaron::views
