#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "core/PreferenceStore.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "views/ModelOperations.hpp"

namespace tessaron::viewmodel {
class PipelineViewModel;
}

namespace tessaron::services {
class TourOrchestrator;
class TourSpotlightTracker;
class WelcomeTourOverlay;
}  // namespace tessaron::services

namespace tessaron::views {

class MainDashboardView;

// The main window's content: the dashboard of the application's model and,
// while "hasSeenWelcomeTour" is not set (a first launch) or after "Welcome
// Tour", the guided tour: a second dashboard on a sample model, with the
// tour overlay on top. Meanwhile the real dashboard stays underneath,
// disabled, and publishes nothing to the menus; its run goes on. Only the
// sample dashboard's spotlight anchors reach the overlay; frames are
// measured in this widget's coordinates.
//
// Threads: the main thread only.
class TourHost : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* hasSeenWelcomeTourKey = viewmodel::SettingsPreferenceStore::hasSeenWelcomeTourKey;

    // Makes a fresh model for a tour; TourHost marks it a tour sample.
    using SampleFactory = std::function<std::unique_ptr<viewmodel::PipelineViewModel>()>;

    // `model` and `defaults` must outlive the host. Without a factory the
    // samples are plain PipelineViewModel()s.
    TourHost(viewmodel::PipelineViewModel& model, core::PreferenceStore& defaults, ModelOperations operations,
             QWidget* parent = nullptr, SampleFactory makeSample = {});
    ~TourHost() override;

    // The real dashboard.
    MainDashboardView& dashboard() const { return *dashboard_; }
    // While the tour is shown: its dashboard, orchestrator and overlay.
    MainDashboardView* sampleDashboard() const { return sampleDashboard_; }
    services::TourOrchestrator& tour() const { return *tour_; }
    services::WelcomeTourOverlay& overlay() const { return *overlay_; }

    bool hasSeenWelcomeTour() const;
    bool isTourShown() const { return !hasSeenWelcomeTour(); }

    // The model the menu commands act on: none while the tour is shown.
    viewmodel::PipelineViewModel* publishedModel() const;

    // The overlay's end of the tour (skip or finish): stores
    // "hasSeenWelcomeTour" and leaves a clean sample for the next tour.
    void finishTour();
    // "Welcome Tour": starts over from the first step on a fresh sample,
    // unless the real model is busy.
    void restartTour();

signals:
    void tourShownChanged();
    void publishedModelChanged();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void setHasSeenWelcomeTour(bool seen);
    void resetTour();
    void showTourLayers();
    void layoutLayers();
    std::unique_ptr<viewmodel::PipelineViewModel> freshSample() const;

    viewmodel::PipelineViewModel& model_;
    core::PreferenceStore& defaults_;
    ModelOperations operations_;
    SampleFactory makeSample_;

    MainDashboardView* dashboard_ = nullptr;
    MainDashboardView* sampleDashboard_ = nullptr;
    services::TourOrchestrator* tour_ = nullptr;
    services::TourSpotlightTracker* spotlights_ = nullptr;
    services::WelcomeTourOverlay* overlay_ = nullptr;
};

}  // namespace tessaron::views
