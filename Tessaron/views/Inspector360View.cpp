#include "views/Inspector360View.hpp"

namespace tessaron::views {

Inspector360View::Inspector360View(viewmodel::PipelineViewModel& model, QWidget* parent)
    : PlaceholderView(QStringLiteral("360° Inspector"), parent) {
    (void)model;
}

}  // namespace tessaron::views
