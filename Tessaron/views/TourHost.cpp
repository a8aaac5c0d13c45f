#include "views/TourHost.hpp"

#include "services/TourOrchestrator.hpp"
#include "services/TourSpotlightTracker.hpp"
#include "services/WelcomeTourOverlay.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/ApplicationNotifier.hpp"
#include "views/MainDashboardView.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;

TourHost::TourHost(PipelineViewModel& model, core::PreferenceStore& defaults, ModelOperations operations,
                   QWidget* parent, SampleFactory makeSample)
    : QWidget(parent), model_(model), defaults_(defaults), operations_(std::move(operations)),
      makeSample_(std::move(makeSample)) {
    dashboard_ = new MainDashboardView(model_, defaults_, /*publishesCommands=*/true, operations_, this);
    connect(dashboard_, &MainDashboardView::publishedModelChanged, this, &TourHost::publishedModelChanged);

    tour_ = new services::TourOrchestrator(freshSample(), this);
    spotlights_ = new services::TourSpotlightTracker(*this, this);
    overlay_ = new services::WelcomeTourOverlay(*tour_, [this] { finishTour(); }, this);
    connect(spotlights_, &services::TourSpotlightTracker::spotlightsChanged, overlay_,
            [this] { overlay_->setSpotlights(spotlights_->spotlights()); });
    connect(&ApplicationNotifier::instance(), &ApplicationNotifier::startWelcomeTour, this, &TourHost::restartTour);

    if (isTourShown()) showTourLayers();
    else overlay_->hide();
    layoutLayers();
}

TourHost::~TourHost() {
    // The sample dashboard goes before the sample model it shows.
    spotlights_->setRoot(nullptr);
    delete sampleDashboard_;
    sampleDashboard_ = nullptr;
}

std::unique_ptr<PipelineViewModel> TourHost::freshSample() const {
    std::unique_ptr<PipelineViewModel> sample = makeSample_ ? makeSample_() : std::make_unique<PipelineViewModel>();
    sample->setIsTourSample(true);
    return sample;
}

bool TourHost::hasSeenWelcomeTour() const { return defaults_.string(hasSeenWelcomeTourKey) == "true"; }

void TourHost::setHasSeenWelcomeTour(bool seen) { defaults_.setString(hasSeenWelcomeTourKey, seen ? "true" : "false"); }

PipelineViewModel* TourHost::publishedModel() const { return isTourShown() ? nullptr : dashboard_->publishedModel(); }

void TourHost::resetTour() {
    tour_->invalidateTimer();
    tour_->setCurrentTourStep(services::TourOrchestrator::TourStep::introduction);
    // The dashboard bound to the old sample goes before the sample does.
    spotlights_->setRoot(nullptr);
    delete sampleDashboard_;
    sampleDashboard_ = nullptr;
    tour_->setMockVM(freshSample());
}

void TourHost::showTourLayers() {
    sampleDashboard_ = new MainDashboardView(tour_->mockVM(), defaults_, /*publishesCommands=*/true, operations_, this);
    sampleDashboard_->setEnabled(false);
    // The real dashboard stays on screen under the tour, out of use and out
    // of assistive technologies' reach.
    dashboard_->setEnabled(false);
    dashboard_->setHiddenFromAccessibility(true);
    layoutLayers();
    sampleDashboard_->show();
    overlay_->show();
    overlay_->raise();
    spotlights_->setRoot(sampleDashboard_);
    overlay_->setSpotlights(spotlights_->spotlights());
    setFocusProxy(overlay_);
    overlay_->setFocus();
}

void TourHost::finishTour() {
    setHasSeenWelcomeTour(true);
    resetTour();
    overlay_->hide();
    setFocusProxy(nullptr);
    dashboard_->setEnabled(true);
    dashboard_->setHiddenFromAccessibility(false);
    emit tourShownChanged();
    emit publishedModelChanged();
}

void TourHost::restartTour() {
    if (model_.isBusy()) return;
    resetTour();
    setHasSeenWelcomeTour(false);
    showTourLayers();
    emit tourShownChanged();
    emit publishedModelChanged();
}

void TourHost::layoutLayers() {
    for (QWidget* layer : {static_cast<QWidget*>(dashboard_), static_cast<QWidget*>(sampleDashboard_),
                           static_cast<QWidget*>(overlay_)})
        if (layer) layer->setGeometry(rect());
}

void TourHost::resizeEvent(QResizeEvent*) { layoutLayers(); }

}  // namespace tessaron::views
