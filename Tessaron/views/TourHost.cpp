#include "views/TourHost.hpp"

#include <QStackedLayout>

#include "views/MainDashboardView.hpp"

namespace tessaron::views {

TourHost::TourHost(viewmodel::PipelineViewModel& model, core::PreferenceStore& defaults, ModelOperations operations,
                   QWidget* parent)
    : QWidget(parent) {
    auto* layers = new QStackedLayout(this);
    layers->setStackingMode(QStackedLayout::StackAll);
    layers->setContentsMargins(0, 0, 0, 0);
    dashboard_ = new MainDashboardView(model, defaults, /*publishesCommands=*/true, std::move(operations), this);
    layers->addWidget(dashboard_);
}

}  // namespace tessaron::views
