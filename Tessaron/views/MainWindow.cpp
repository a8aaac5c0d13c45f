#include "views/MainWindow.hpp"

#include <QCloseEvent>
#include <QMenuBar>

#include "views/MainDashboardView.hpp"
#include "views/TourHost.hpp"

namespace tessaron::views {

MainWindow::MainWindow(viewmodel::PipelineViewModel& model, core::PreferenceStore& defaults, ModelOperations operations,
                       ApplicationActions actions, QWidget* parent,
                       std::function<std::unique_ptr<viewmodel::PipelineViewModel>()> makeTourSample)
    : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Tessaron"));
    setMinimumSize(minimumWidth, minimumHeight);
    tourHost_ = new TourHost(model, defaults, operations, this, std::move(makeTourSample));
    setCentralWidget(tourHost_);
    commands_ = new TessaronCommands(*menuBar(), std::move(operations), std::move(actions), this);
    // While the tour is shown no model is focused.
    auto publish = [this] { commands_->setFocusedModel(tourHost_->publishedModel()); };
    connect(tourHost_, &TourHost::publishedModelChanged, this, publish);
    publish();
}

MainDashboardView& MainWindow::dashboard() const { return tourHost_->dashboard(); }

void MainWindow::closeEvent(QCloseEvent* event) {
    // The quit guard decides; an approved quit ends the application, which
    // closes the window.
    event->ignore();
    emit closeRequested();
}

}  // namespace tessaron::views
