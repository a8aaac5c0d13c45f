#pragma once

#include <QWidget>

#include "core/PreferenceStore.hpp"
#include "views/ModelOperations.hpp"

namespace tessaron::viewmodel {
class PipelineViewModel;
}

namespace tessaron::views {

class MainDashboardView;

// The main window's content: the dashboard of the application's model. The
// guided tour's sample dashboard is laid over it while the tour runs; until
// the tour is available, the real dashboard stands alone, publishes its model
// to the menus and "hasSeenWelcomeTour" is left as it is.
class TourHost : public QWidget {
    Q_OBJECT
public:
    TourHost(viewmodel::PipelineViewModel& model, core::PreferenceStore& defaults, ModelOperations operations,
             QWidget* parent = nullptr);

    MainDashboardView& dashboard() const { return *dashboard_; }

private:
    MainDashboardView* dashboard_;
};

}  // namespace tessaron::views
