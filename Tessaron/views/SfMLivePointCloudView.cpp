#include "views/SfMLivePointCloudView.hpp"

namespace tessaron::views {

SfMLivePointCloudView::SfMLivePointCloudView(QWidget* parent)
    : PlaceholderView(QStringLiteral("Live reconstruction"), parent) {}

}  // namespace tessaron::views
