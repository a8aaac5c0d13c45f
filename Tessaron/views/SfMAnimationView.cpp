#include "views/SfMAnimationView.hpp"

namespace tessaron::views {

SfMAnimationView::SfMAnimationView(QWidget* parent)
    : PlaceholderView(QStringLiteral("Structure from Motion"), parent) {}

}  // namespace tessaron::views
