// The welcome tour, one state per card: the first-launch window (nothing
// stored yet) walked to the step with Return, at 1440 × 900 and at the
// smallest window, once the spotlight and the card have come to rest.
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

#include "ShotState.hpp"
#include "core/PreferenceStore.hpp"
#include "services/TourOrchestrator.hpp"
#include "services/WelcomeTourOverlay.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/MainWindow.hpp"
#include "views/TourHost.hpp"

namespace tessaron::shots {
namespace {

using services::TourOrchestrator;
using viewmodel::PipelineViewModel;

struct TourStage {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<core::InMemoryPreferenceStore> defaults = std::make_shared<core::InMemoryPreferenceStore>();
    std::shared_ptr<PipelineViewModel> model;
    std::shared_ptr<views::MainWindow> window;

    TourStage(QSize size) {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = uint64_t(32) << 30;
        configuration.manager.supportFolder = folder->path().toStdString();
        model = std::make_shared<PipelineViewModel>(configuration);
        window = std::make_shared<views::MainWindow>(*model, *defaults, views::ModelOperations::standard(),
                                                     views::ApplicationActions{}, nullptr,
                                                     [configuration] {
                                                         return std::make_unique<PipelineViewModel>(configuration);
                                                     });
        window->resize(size);
        window->show();
        window->activateWindow();
        if (!QTest::qWaitForWindowExposed(window.get())) throw std::runtime_error("the window was not shown");
    }

    std::shared_ptr<QWidget> release() {
        return std::shared_ptr<QWidget>(window.get(), [window = window, model = model, defaults = defaults,
                                                       folder = folder](QWidget*) mutable {
            window.reset();
            model.reset();
        });
    }
};

std::shared_ptr<QWidget> tourAt(TourOrchestrator::TourStep step, QSize size) {
    TourStage stage(size);
    views::TourHost& host = stage.window->tourHost();
    services::WelcomeTourOverlay& overlay = host.overlay();
    while (host.tour().currentTourStep() != step) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &overlay;
        QTest::keyClick(target, Qt::Key_Return);
        waitUntil([] { return false; }, 0.05);
    }
    // The simulated counters run out, the frames settle, the glide ends.
    waitUntil([&] { return !host.tour().isTimerActive(); }, 5);
    waitUntil([] { return false; }, 0.7);
    waitUntil([&] { return !overlay.isAnimating(); }, 3);
    return stage.release();
}

const bool registered = [] {
    for (TourOrchestrator::TourStep step : services::allTourSteps()) {
        const std::string name = services::toString(step);
        const std::string title = services::WelcomeTourOverlay::content(step).title.toStdString();
        ShotState::Registration({"tour-" + name, "the welcome tour's card \"" + title + "\" at 1440 × 900",
                                 [step] { return tourAt(step, QSize(1440, 900)); }});
        ShotState::Registration({"tour-" + name + "-min", "the same card in the smallest window",
                                 [step] { return tourAt(step, QSize(900, 600)); }});
    }
    return true;
}();

}  // namespace
}  // namespace tessaron::shots
